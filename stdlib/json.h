// JSON text to events and values to JSON text, independent of the host's
// variables: the library's glue turns the events into arrays and
// structures, and the tests and the fuzzer into a plain tree.
#ifndef LUMO_STDLIB_JSON_H_
#define LUMO_STDLIB_JSON_H_

#include <string>
#include <string_view>

namespace lumostd {

// Deeper documents are refused rather than followed: the decoder keeps one
// byte per level, but whoever builds the values walks them again.
constexpr int kJsonMaxDepth = 512;

// What the decoder has read, in document order. An array's or object's
// contents come between its Begin and its End; inside an object every value
// is preceded by Key. Texts are valid only during the call.
class JsonSink {
 public:
  virtual ~JsonSink() = default;
  virtual void BeginArray() = 0;
  virtual void BeginObject() = 0;
  virtual void Key(std::string_view name) = 0;
  virtual void End() = 0;
  virtual void Text(std::string_view text) = 0;
  // The number exactly as written (validated against the JSON grammar).
  virtual void Number(std::string_view literal) = 0;
  virtual void Boolean(bool value) = 0;
  virtual void Null() = 0;
};

// Reads one JSON value (RFC 8259) with surrounding white space and nothing
// else. \u escapes become UTF-8 (a surrogate pair one character); other
// bytes are copied, so texts need not be UTF-8. On failure returns false
// with a sentence naming the byte offset in `error`; the sink may have seen
// part of the document and must cope with unbalanced Begins. Never recurses,
// and takes time linear in the input.
bool JsonDecode(std::string_view in, JsonSink& sink, std::string* error,
                int max_depth = kJsonMaxDepth);

// Appends `text` as a JSON string: quotes, \" \\ \b \f \n \r \t, other
// control bytes as \u00XX; everything else (bytes above 127 too) copied.
void JsonAppendString(std::string_view text, std::string& out);

// True when `text` is a number by the JSON grammar ("-0", "1.50", "2e9";
// not "+1", "01", ".5", "1." or "Infinity").
bool IsJsonNumber(std::string_view text);

}  // namespace lumostd

#endif  // LUMO_STDLIB_JSON_H_
