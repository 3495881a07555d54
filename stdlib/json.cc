#include "stdlib/json.h"

#include <cstdint>
#include <vector>

#include "stdlib/byte_text.h"

namespace lumostd {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Length of the number starting at `text`, or 0 when none starts there.
size_t ScanNumber(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && text[i] == '-') ++i;
  if (i >= n) return 0;
  if (text[i] == '0') {
    ++i;
  } else if (text[i] >= '1' && text[i] <= '9') {
    while (i < n && IsDigit(text[i])) ++i;
  } else {
    return 0;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (i >= n || !IsDigit(text[i])) return 0;
    while (i < n && IsDigit(text[i])) ++i;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= n || !IsDigit(text[i])) return 0;
    while (i < n && IsDigit(text[i])) ++i;
  }
  return i;
}

class Decoder {
 public:
  Decoder(std::string_view in, JsonSink& sink, std::string* error, int max_depth)
      : in_(in), sink_(sink), error_(error), max_depth_(max_depth) {}

  bool Run();

 private:
  bool Fail(const char* what) {
    if (error_ != nullptr) {
      error_->assign("Invalid JSON at byte ");
      error_->append(std::to_string(pos_));
      error_->append(": ");
      error_->append(what);
    }
    return false;
  }
  void SkipSpace() {
    while (pos_ < in_.size() && IsJsonSpace(in_[pos_])) ++pos_;
  }
  bool AtEnd() const { return pos_ >= in_.size(); }
  // Reads the string whose opening quote is at pos_ into text_.
  bool ReadString();
  bool ReadEscape();
  bool ReadHex4(uint32_t* value);
  bool ReadWord(std::string_view word);
  // An object's "name": up to and past the colon; the name goes to the sink.
  bool ReadMemberName();
  void CloseContainer() {
    ++pos_;
    open_.pop_back();
    sink_.End();
  }

  std::string_view in_;
  JsonSink& sink_;
  std::string* error_;
  int max_depth_;
  size_t pos_ = 0;
  std::string text_;
  // '[' or '{' per open container.
  std::vector<char> open_;
};

bool Decoder::ReadMemberName() {
  if (AtEnd() || in_[pos_] != '"') return Fail("an object member must start with a quoted name");
  if (!ReadString()) return false;
  sink_.Key(text_);
  SkipSpace();
  if (AtEnd() || in_[pos_] != ':') return Fail("a member name must be followed by ':'");
  ++pos_;
  return true;
}

bool Decoder::ReadHex4(uint32_t* value) {
  if (in_.size() - pos_ < 4) return Fail("a \\u escape needs four hex digits");
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    const int digit = HexValue(static_cast<unsigned char>(in_[pos_ + k]));
    if (digit < 0) return Fail("a \\u escape needs four hex digits");
    v = (v << 4) | static_cast<uint32_t>(digit);
  }
  pos_ += 4;
  *value = v;
  return true;
}

bool Decoder::ReadEscape() {
  // pos_ is just past the backslash.
  if (AtEnd()) return Fail("the text ends inside an escape");
  const char c = in_[pos_++];
  switch (c) {
    case '"': text_.push_back('"'); return true;
    case '\\': text_.push_back('\\'); return true;
    case '/': text_.push_back('/'); return true;
    case 'b': text_.push_back('\b'); return true;
    case 'f': text_.push_back('\f'); return true;
    case 'n': text_.push_back('\n'); return true;
    case 'r': text_.push_back('\r'); return true;
    case 't': text_.push_back('\t'); return true;
    case 'u': break;
    default:
      --pos_;
      return Fail("unknown escape in a string");
  }
  uint32_t code = 0;
  if (!ReadHex4(&code)) return false;
  if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a \\u escape has a low surrogate alone");
  if (code >= 0xD800 && code <= 0xDBFF) {
    if (in_.size() - pos_ < 2 || in_[pos_] != '\\' || in_[pos_ + 1] != 'u') {
      return Fail("a \\u escape has a high surrogate without its low half");
    }
    pos_ += 2;
    uint32_t low = 0;
    if (!ReadHex4(&low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) {
      return Fail("a \\u escape has a high surrogate without its low half");
    }
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(code, text_);
  return true;
}

bool Decoder::ReadString() {
  ++pos_;  // the opening quote
  text_.clear();
  while (true) {
    // Copy plain runs at once; most strings have no escapes.
    const size_t start = pos_;
    while (pos_ < in_.size()) {
      const auto c = static_cast<unsigned char>(in_[pos_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++pos_;
    }
    text_.append(in_.data() + start, pos_ - start);
    if (AtEnd()) return Fail("the text ends inside a string");
    const char c = in_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') return Fail("a control character stands unescaped in a string");
    ++pos_;
    if (!ReadEscape()) return false;
  }
}

bool Decoder::ReadWord(std::string_view word) {
  if (in_.substr(pos_, word.size()) != word) return Fail("unexpected character");
  pos_ += word.size();
  return true;
}

bool Decoder::Run() {
  // The loop reads one value per turn, then the separators after it until
  // the next value is due; containers keep their kind on open_.
  SkipSpace();
  if (AtEnd()) return Fail("the text is empty");
  while (true) {
    SkipSpace();
    if (AtEnd()) return Fail("the text ends where a value is expected");
    const char c = in_[pos_];
    bool opened = false;
    switch (c) {
      case '[':
      case '{':
        if (static_cast<int>(open_.size()) >= max_depth_) {
          return Fail("arrays and objects nest too deep");
        }
        ++pos_;
        open_.push_back(c);
        if (c == '[') {
          sink_.BeginArray();
        } else {
          sink_.BeginObject();
        }
        opened = true;
        break;
      case '"':
        if (!ReadString()) return false;
        sink_.Text(text_);
        break;
      case 't':
        if (!ReadWord("true")) return false;
        sink_.Boolean(true);
        break;
      case 'f':
        if (!ReadWord("false")) return false;
        sink_.Boolean(false);
        break;
      case 'n':
        if (!ReadWord("null")) return false;
        sink_.Null();
        break;
      default: {
        const size_t length = ScanNumber(in_.substr(pos_));
        if (length == 0) return Fail("unexpected character");
        sink_.Number(in_.substr(pos_, length));
        pos_ += length;
        break;
      }
    }
    // After an opening bracket: an empty container closes at once, an
    // object wants its first key.
    bool need_value = false;
    if (opened) {
      SkipSpace();
      if (AtEnd()) return Fail("the text ends inside an array or object");
      const char close = open_.back() == '[' ? ']' : '}';
      if (in_[pos_] == close) {
        CloseContainer();
      } else if (open_.back() == '[') {
        need_value = true;
      } else {
        if (!ReadMemberName()) return false;
        need_value = true;
      }
    }
    // Separators and closing brackets up to the next value.
    while (!need_value) {
      SkipSpace();
      if (open_.empty()) {
        if (!AtEnd()) return Fail("more text follows the value");
        return true;
      }
      if (AtEnd()) return Fail("the text ends inside an array or object");
      const char close = open_.back() == '[' ? ']' : '}';
      const char d = in_[pos_];
      if (d == close) {
        CloseContainer();
        continue;
      }
      if (d != ',') return Fail(open_.back() == '[' ? "expected ',' or ']' in an array"
                                                    : "expected ',' or '}' in an object");
      ++pos_;
      if (open_.back() == '{') {
        SkipSpace();
        if (!ReadMemberName()) return false;
      }
      need_value = true;
    }
  }
}

}  // namespace

bool JsonDecode(std::string_view in, JsonSink& sink, std::string* error, int max_depth) {
  Decoder decoder(in, sink, error, max_depth);
  return decoder.Run();
}

void JsonAppendString(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + start, i - start);
    start = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
        break;
    }
  }
  out.append(text.data() + start, text.size() - start);
  out.push_back('"');
}

bool IsJsonNumber(std::string_view text) {
  return !text.empty() && ScanNumber(text) == text.size();
}

}  // namespace lumostd
