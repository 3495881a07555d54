#include "core/context/lumo_application.h"

#include <cstring>

#include "core/base/ascii.h"
#include "core/base/conversions.h"
#include "core/context/crypt_des.h"
#include "core/context/error_settings.h"

namespace lumo {

LumoApplication::LumoApplication() = default;
LumoApplication::~LumoApplication() = default;

void LumoApplication::Write(const char* text) {
  Write(text, static_cast<int32_t>(strlen(text)));
}

bool LumoApplication::Crypt(const char* text, int32_t length, const char salt[2], String* out) {
  return CryptDES(text, length, salt, out);
}

void LumoApplication::BeginExecution() {
  const int32_t seconds = GlobalTimeout();
  global_deadline_.store(seconds > 0 ? Now() + seconds : 0, std::memory_order_relaxed);
  stop_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::ArmPostTimeout() {
  const int32_t seconds = PostTimeout();
  post_deadline_.store(seconds > 0 ? Now() + seconds : 0, std::memory_order_relaxed);
  post_timeout_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::DisarmPostTimeout() {
  post_deadline_.store(0, std::memory_order_relaxed);
  post_timeout_flag_.store(0, std::memory_order_relaxed);
}

void LumoApplication::Tick() {
  tick_counter_.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = Now();
  const int64_t global = global_deadline_.load(std::memory_order_relaxed);
  const int64_t post = post_deadline_.load(std::memory_order_relaxed);
  if (global != 0 && now > global) stop_flag_.store(1, std::memory_order_relaxed);
  if (post != 0 && now > post) post_timeout_flag_.store(1, std::memory_order_relaxed);
}

int64_t LumoApplication::TimeRemaining() const {
  const int64_t deadline = global_deadline_.load(std::memory_order_relaxed);
  if (deadline == 0) return -1;
  const int64_t left = deadline - Now();
  return left < 0 ? 0 : left;
}

void LumoApplication::SetLogFilter(std::string_view text) {
  included_.clear();
  excluded_.clear();
  size_t i = 0;
  const size_t n = text.size();
  auto skip_space = [&]() {
    while (i < n && IsSpaceByte(static_cast<unsigned char>(text[i]))) ++i;
  };
  auto read_number = [&]() {
    const size_t start = i;
    while (i < n && IsDigitByte(static_cast<unsigned char>(text[i]))) ++i;
    return ParseInteger(text.data() + start, static_cast<int32_t>(i - start));
  };
  while (i < n) {
    skip_space();
    bool exclude = false;
    if (i < n && text[i] == '!') {
      exclude = true;
      ++i;
      skip_space();
    }
    const size_t start = i;
    while (i < n && text[i] != ':' && text[i] != ',' &&
           !IsSpaceByte(static_cast<unsigned char>(text[i]))) {
      ++i;
    }
    LogFilterEntry entry{String(text.substr(start, i - start)), 0, 0};
    skip_space();
    if (i < n && text[i] == ':') {
      ++i;
      skip_space();
      entry.first_line = entry.last_line = read_number();
      skip_space();
      if (i < n && text[i] == '-') {
        ++i;
        skip_space();
        entry.last_line = i < n && IsDigitByte(static_cast<unsigned char>(text[i])) ? read_number() : 0;
        skip_space();
      }
    }
    // Whatever else stands before the next comma is not part of an entry.
    while (i < n && text[i] != ',') ++i;
    if (i < n) ++i;
    if (entry.file.IsEmpty()) continue;
    (exclude ? excluded_ : included_).push_back(std::move(entry));
  }
}

bool LumoApplication::AcceptsLog(const char* file, int32_t length, int32_t line) const {
  if (logging_off_) return false;
  auto matches = [&](const LogFilterEntry& e) {
    return e.file.Length() == length && memcmp(e.file.Text(), file, static_cast<size_t>(length)) == 0 &&
           (e.first_line == 0 || e.first_line <= line) && (e.last_line == 0 || e.last_line >= line);
  };
  for (const LogFilterEntry& e : excluded_) {
    if (matches(e)) return false;
  }
  if (included_.empty()) return true;
  for (const LogFilterEntry& e : included_) {
    if (matches(e)) return true;
  }
  return false;
}

void LumoApplication::LogEvent(uint32_t, const LogField*) {}

const char* LumoApplication::EventName(uint32_t mask) const { return lumo::EventName(mask); }

}  // namespace lumo
