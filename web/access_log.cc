#include "web/access_log.h"

#include <cstdio>
#include <cstdlib>

#include "files/append_file.h"

namespace lumo {

namespace {

void AppendField(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '-';
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  AppendField(out, text);
  out += '"';
}

std::string_view ViewOf(const String* text) {
  return text != nullptr ? text->View() : std::string_view();
}

}  // namespace

std::string FormatAccessLine(const AccessRecord& record) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local {};
  localtime_r(&record.time, &local);
  const long offset_minutes = local.tm_gmtoff / 60;
  const long zone = labs(offset_minutes);
  char when[64];
  snprintf(when, sizeof when, "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]", local.tm_mday,
           kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
           local.tm_min, local.tm_sec, offset_minutes < 0 ? '-' : '+', zone / 60, zone % 60);

  std::string line;
  line.reserve(128 + record.request_line.size() + ViewOf(record.user_agent).size() +
               ViewOf(record.referer).size());
  // The host is the peer's address as the system gave it, never the
  // client's words; escaped all the same.
  AppendField(line, record.host);
  line += " - - ";
  line += when;
  line += ' ';
  AppendQuoted(line, record.request_line);
  line += ' ';
  if (record.status > 0) {
    line += std::to_string(record.status);
  } else {
    line += '-';
  }
  line += ' ';
  if (record.body_bytes > 0) {
    line += std::to_string(record.body_bytes);
  } else {
    line += '-';
  }
  line += ' ';
  AppendQuoted(line, ViewOf(record.referer));
  line += ' ';
  AppendQuoted(line, ViewOf(record.user_agent));
  line += '\n';
  return line;
}

int StatusCodeOf(std::string_view status_text) {
  if (status_text.size() < 3) return 0;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    const char c = status_text[i];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  if (status_text.size() > 3 && status_text[3] != ' ') return 0;
  return code >= 100 ? code : 0;
}

AccessLog::AccessLog() = default;
AccessLog::~AccessLog() = default;

bool AccessLog::Open(std::string_view setting, std::string_view directory,
                     std::string* warning) {
  std::shared_ptr<AppendFile> file;
  if (setting == std::string_view("-")) {
    file = AppendFile::StandardError();
  } else if (!setting.empty()) {
    std::string path;
    if (setting.front() != '/') {
      path.assign(directory);
      if (!path.empty() && path.back() != '/') path += '/';
    }
    path.append(setting);
    String error;
    file = AppendFile::Open(path, &error);
    if (file == nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      warning->assign("warning: access log: ");
      warning->append(error.View());
      warning->append(file_ != nullptr ? "; requests are still logged to '" + file_->Path() + "'"
                                       : "; requests are not logged");
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::move(file);
  return true;
}

bool AccessLog::IsOn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr;
}

void AccessLog::Write(const AccessRecord& record) {
  std::shared_ptr<AppendFile> file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file = file_;
  }
  if (file == nullptr) return;
  file->Append(FormatAccessLine(record));
}

}  // namespace lumo
