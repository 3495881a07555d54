#include "web/url_encoded_parser.h"

#include <algorithm>

#include "core/base/ascii.h"
#include "core/vm/lumo_vm.h"

namespace lumo {

char EscapedByte(char first, char second) {
  auto digit = [](char c) {
    const int u = UpperByte(static_cast<unsigned char>(c));
    return u < 'A' ? u - '0' : (u & ~0x20) - 55;
  };
  return static_cast<char>(static_cast<unsigned>(digit(first) * 16 + digit(second)) & 0xFF);
}

URLEncodedParser::URLEncodedParser(VariableHash* variables, int32_t limit, FormLimits* shared)
    : HTTPContentParser(variables, shared) {
  if (shared == nullptr) own_limits_ = FormLimits(limit);
  name_.Reserve(511);
  value_.Reserve(511);
}

bool URLEncodedParser::Add(String& buffer, char c) {
  // No script could hold a longer text, and the buffer must not reach the
  // size where growing it would abort the process.
  if (buffer.Length() >= LumoVM::kMaxTextLength) {
    SetError(kPostOutOfMemory);
    return false;
  }
  if (!TakeFormBytes(1)) return false;
  // Doubling: a megabyte-long name or value grown 24 bytes at a time
  // would be copied over and over.
  if (buffer.Length() + 2 >= buffer.Capacity()) {
    const int64_t doubled = std::min<int64_t>(int64_t{buffer.Capacity()} * 2, LumoVM::kMaxTextLength + 1);
    buffer.Reserve(static_cast<int32_t>(doubled));
  }
  buffer.Append(c);
  return true;
}

bool URLEncodedParser::Store() {
  // A name with a malformed index selector stores no value; the field still
  // counts, and the rest of the body goes on.
  if (!StoreField(name_, value_)) return false;
  name_.SetLength(0);
  value_.SetLength(0);
  return true;
}

bool URLEncodedParser::Parse(const char* data, int32_t length) {
  if (Failed()) return false;
  for (int32_t i = 0; i < length; ++i) {
    const char c = data[i];
    bool ok = true;
    switch (state_) {
      case kName:
        if (c == '%') {
          state_ = kNameEscape;
        } else if (c == '=') {
          state_ = kValue;  // the value buffer is empty in this state
        } else if (c == '&') {
          ok = Store();
        } else {
          ok = Add(name_, c == '+' ? ' ' : c);
        }
        break;
      case kValue:
        if (c == '%') {
          state_ = kValueEscape;
        } else if (c == '&') {
          ok = Store();
          state_ = kName;
        } else {
          ok = Add(value_, c == '+' ? ' ' : c);
        }
        break;
      case kNameEscape:
      case kValueEscape:
        escape_[escape_count_++] = c;
        if (escape_count_ == 2) {
          escape_count_ = 0;
          const bool in_name = state_ == kNameEscape;
          state_ = in_name ? kName : kValue;
          ok = Add(in_name ? name_ : value_, EscapedByte(escape_[0], escape_[1]));
        }
        break;
    }
    if (!ok) return false;
  }
  return true;
}

bool URLEncodedParser::Finish() {
  if (Failed()) return false;
  // An escape cut short by the end of the body is dropped.
  escape_count_ = 0;
  const bool pending = state_ != kName || !name_.IsEmpty();
  state_ = kName;
  return !pending || Store();
}

}  // namespace lumo
