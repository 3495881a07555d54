// The standard library's JSON reader: whatever it accepts, written back
// with the library's own string and number rules, must read again to the
// same text (so decoding then encoding is a fixed point), and nothing may
// crash, recurse without bound or take more than linear time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "stdlib/json.h"

namespace {

// Writes the events back as JSON the way jsonencode lays it out.
class Writer : public lumostd::JsonSink {
 public:
  void BeginArray() override { Open('['); }
  void BeginObject() override { Open('{'); }
  void Key(std::string_view name) override {
    if (!first_.back()) out += ',';
    first_.back() = false;
    lumostd::JsonAppendString(name, out);
    out += ':';
    keyed_ = true;
  }
  void End() override {
    out += closers_.back();
    closers_.pop_back();
    first_.pop_back();
  }
  void Text(std::string_view text) override {
    Separate();
    lumostd::JsonAppendString(text, out);
  }
  void Number(std::string_view literal) override {
    if (!lumostd::IsJsonNumber(literal)) abort();
    Separate();
    out.append(literal);
  }
  void Boolean(bool value) override {
    Separate();
    out += value ? "true" : "false";
  }
  void Null() override {
    Separate();
    out += "null";
  }

  std::string out;

 private:
  void Open(char bracket) {
    Separate();
    out += bracket;
    closers_.push_back(bracket == '[' ? ']' : '}');
    first_.push_back(true);
  }
  void Separate() {
    if (keyed_) {
      keyed_ = false;
    } else if (!first_.empty()) {
      if (!first_.back()) out += ',';
      first_.back() = false;
    }
  }

  std::vector<char> closers_;
  std::vector<bool> first_;
  bool keyed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Writer first;
  std::string error;
  if (!lumostd::JsonDecode(input, first, &error)) {
    if (error.rfind("Invalid JSON at byte ", 0) != 0) abort();
    return 0;
  }
  Writer second;
  if (!lumostd::JsonDecode(first.out, second, &error)) abort();
  if (second.out != first.out) abort();
  return 0;
}
