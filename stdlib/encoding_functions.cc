// Encodings, hashes and JSON.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <string_view>
#include <vector>

#include "stdlib/call.h"
#include "stdlib/codec.h"
#include "stdlib/functions.h"
#include "stdlib/json.h"

namespace lumostd {
namespace {

using Codec = void (*)(std::string_view, std::string&);
using CheckedCodec = bool (*)(std::string_view, std::string&);

void Apply(Call& call, Codec codec) {
  std::string_view text;
  if (!call.Text(0, "text", &text)) {
    call.SetEmpty();
    return;
  }
  std::string out;
  codec(text, out);
  call.SetText(out);
}

void ApplyChecked(Call& call, CheckedCodec codec, const char* problem) {
  std::string_view text;
  if (!call.Text(0, "text", &text)) {
    call.SetEmpty();
    return;
  }
  std::string out;
  if (!codec(text, out)) {
    call.FailArgument("text", problem);
    call.SetEmpty();
    return;
  }
  call.SetText(out);
}

void Digest(Call& call, const EVP_MD* md) {
  std::string_view text;
  if (!call.Text(0, "text", &text)) {
    call.SetEmpty();
    return;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, md, nullptr) != 1) {
    call.Fail("the hash could not be computed");
    call.SetEmpty();
    return;
  }
  std::string out;
  HexEncode(std::string_view(reinterpret_cast<const char*>(digest), size), out);
  call.SetText(out);
}

// Builds arrays and structures in the host's variables from the decoder's
// events. Each open container keeps the variable it fills; the slot for
// the next value is made when the value arrives.
class VariableSink : public JsonSink {
 public:
  explicit VariableSink(lmVariable* root) : root_(root) {}

  void BeginArray() override {
    lmVariable* slot = Slot();
    // Dropping whatever a repeated member held before.
    MakeEmptyArray(slot);
    open_.push_back({slot, true, 1, false});
  }
  void BeginObject() override {
    lmVariable* slot = Slot();
    lmVariable_SetValue(slot, "", 0);
    open_.push_back({slot, false, 0, false});
  }
  void Key(std::string_view name) override { key_.assign(name); }
  void End() override {
    Level& level = open_.back();
    if (!level.array && !level.has_member) MakeEmptyStructure(level.container);
    open_.pop_back();
  }
  void Text(std::string_view text) override {
    lmVariable_SetValue(Slot(), text.data(), static_cast<int32_t>(text.size()));
  }
  void Number(std::string_view literal) override {
    lmVariable* slot = Slot();
    int32_t value = 0;
    if (CanonicalInteger(literal, &value)) {
      lmVariable_SetValue_Integer(slot, value);
    } else {
      // Kept as written: exact, and the machine reads it as a number when
      // the script computes with it.
      lmVariable_SetValue(slot, literal.data(), static_cast<int32_t>(literal.size()));
    }
  }
  void Boolean(bool value) override { lmVariable_SetValue_Integer(Slot(), value ? 1 : 0); }
  void Null() override { lmVariable_SetValue(Slot(), "", 0); }

 private:
  struct Level {
    lmVariable* container;
    bool array;
    int32_t next_index;
    bool has_member;
  };

  lmVariable* Slot() {
    if (open_.empty()) return root_;
    Level& level = open_.back();
    if (level.array) return lmVariable_Array_Element(level.container, level.next_index++, 1);
    level.has_member = true;
    return lmVariable_Struct_Member(level.container, key_.data(),
                                    static_cast<int32_t>(key_.size()), 1);
  }

  // Integers that read back as the same text become integers.
  static bool CanonicalInteger(std::string_view literal, int32_t* value) {
    const bool negative = !literal.empty() && literal[0] == '-';
    std::string_view digits = negative ? literal.substr(1) : literal;
    if (digits.empty() || digits.size() > 10) return false;
    if (digits.size() > 1 && digits[0] == '0') return false;
    int64_t v = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX || (negative && v == 0)) return false;
    *value = static_cast<int32_t>(v);
    return true;
  }

  lmVariable* root_;
  std::vector<Level> open_;
  std::string key_;
};

// One aggregate being written: its elements and whether one was written.
struct EncodeLevel {
  lmVariableList* elements;
  bool array;
  bool first;
};

void AppendScalar(lmVariable* v, std::string& out) {
  int32_t length = 0;
  const char* text = lmVariable_Value(v, &length);
  const std::string_view view(text, static_cast<size_t>(length));
  if (IsJsonNumber(view)) {
    out.append(view);
  } else {
    JsonAppendString(view, out);
  }
}

// Writes v without recursion. False when the nesting is deeper than the
// decoder would take back (a variable that holds itself through a
// reference is one such).
bool Encode(lmVariable* v, std::string& out) {
  std::vector<EncodeLevel> open;
  bool ok = true;
  lmVariable* next = v;
  while (true) {
    if (next != nullptr) {
      const int type = lmVariable_Aggregate_Type(next);
      if (type == LM_AGGREGATE_SCALAR || type < 0) {
        AppendScalar(next, out);
      } else if (static_cast<int>(open.size()) >= kJsonMaxDepth) {
        ok = false;
        break;
      } else {
        const bool array = type == LM_AGGREGATE_ARRAY;
        out.push_back(array ? '[' : '{');
        open.push_back({lmVariable_Aggregate_List(next), array, true});
      }
      next = nullptr;
    }
    if (open.empty()) break;
    EncodeLevel& level = open.back();
    lmVariable* element = level.first ? lmVariableList_First(level.elements)
                                      : lmVariableList_Next(level.elements);
    if (element == nullptr) {
      out.push_back(level.array ? ']' : '}');
      lmVariableList_Free(level.elements);
      open.pop_back();
      continue;
    }
    if (!level.first) out.push_back(',');
    level.first = false;
    if (!level.array) {
      int32_t length = 0;
      const char* name = lmVariable_Name(element, &length);
      JsonAppendString(std::string_view(name != nullptr ? name : "",
                                        name != nullptr ? static_cast<size_t>(length) : 0),
                       out);
      out.push_back(':');
    }
    next = element;
  }
  for (EncodeLevel& level : open) lmVariableList_Free(level.elements);
  return ok;
}

}  // namespace

LUMOSTD_FUNCTION(UrlEncode, "urlencode") { Apply(call, lumostd::UrlEncode); }

LUMOSTD_FUNCTION(UrlDecode, "urldecode") { Apply(call, lumostd::UrlDecode); }

LUMOSTD_FUNCTION(HtmlEncode, "htmlencode") { Apply(call, EntityEncode); }

LUMOSTD_FUNCTION(HtmlDecode, "htmldecode") { Apply(call, EntityDecode); }

LUMOSTD_FUNCTION(Base64Encode, "base64encode") { Apply(call, lumostd::Base64Encode); }

LUMOSTD_FUNCTION(Base64Decode, "base64decode") {
  ApplyChecked(call, lumostd::Base64Decode, "is not valid Base64");
}

LUMOSTD_FUNCTION(HexEncode, "hexencode") { Apply(call, lumostd::HexEncode); }

LUMOSTD_FUNCTION(HexDecode, "hexdecode") {
  ApplyChecked(call, lumostd::HexDecode, "is not an even number of hexadecimal digits");
}

LUMOSTD_FUNCTION(Md5, "md5") { Digest(call, EVP_md5()); }

LUMOSTD_FUNCTION(Sha1, "sha1") { Digest(call, EVP_sha1()); }

LUMOSTD_FUNCTION(Sha256, "sha256") { Digest(call, EVP_sha256()); }

LUMOSTD_FUNCTION(HmacSha256, "hmacsha256") {
  std::string_view key, text;
  if (!call.Text(0, "key", &key) || !call.Text(1, "text", &text)) {
    call.SetEmpty();
    return;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  static const unsigned char kNoKey = 0;
  const void* key_bytes = key.empty() ? &kNoKey : static_cast<const void*>(key.data());
  if (HMAC(EVP_sha256(), key_bytes, static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
           &size) == nullptr) {
    call.Fail("the hash could not be computed");
    call.SetEmpty();
    return;
  }
  std::string out;
  lumostd::HexEncode(std::string_view(reinterpret_cast<const char*>(digest), size), out);
  call.SetText(out);
}

LUMOSTD_FUNCTION(JsonEncode, "jsonencode") {
  std::string out;
  if (!Encode(call.Value(0), out)) {
    call.Fail("the value nests deeper than 512 levels");
    call.SetEmpty();
    return;
  }
  call.SetText(out);
}

LUMOSTD_FUNCTION(JsonDecode, "jsondecode") {
  std::string_view text;
  lmVariable* result = call.result();
  lmVariable_SetValue(result, "", 0);
  if (!call.Text(0, "text", &text)) return;
  VariableSink sink(result);
  std::string error;
  if (!lumostd::JsonDecode(text, sink, &error)) {
    // Half a document is worse than none: the script tests for empty.
    lmVariable_SetValue(result, "", 0);
    call.Fail(error);
  }
}

}  // namespace lumostd
