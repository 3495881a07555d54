// The access log: one line per request in the combined log format, the
// common format of web servers followed by the referer and the user agent,
// so that the usual log analysers read it:
//
//   127.0.0.1 - - [10/Oct/2024:13:55:36 +0200] "GET / HTTP/1.1" 200 2326 "-" "curl/8.0"
//
// Each line goes to the file in one write, so the workers' lines never
// mix. The quoted fields come from the client: a quote, a backslash or any
// byte outside printable ASCII in them is escaped (\" \\ \xHH), so no
// client can end a field early or start a line of its own.
#ifndef LUMO_WEB_ACCESS_LOG_H_
#define LUMO_WEB_ACCESS_LOG_H_

#include <time.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/base/string.h"

namespace lumo {

class AppendFile;

// What the log says of one request. Empty texts and a null referer or
// agent are written "-"; so are a status of 0 (nothing was answered) and a
// body of no bytes.
struct AccessRecord {
  std::string_view host;
  std::string_view request_line;
  int status = 0;
  int64_t body_bytes = 0;
  const String* referer = nullptr;
  const String* user_agent = nullptr;
  time_t time = 0;  // when the request arrived
};

// The line for a record, in local time, ending in "\n".
std::string FormatAccessLine(const AccessRecord& record);

// The status code at the start of a status line's text ("302 Found"), or 0
// when it does not start with one.
int StatusCodeOf(std::string_view status_text);

class AccessLog {
 public:
  AccessLog();
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // Opens what the "accesslog" setting names: nothing when it is empty,
  // standard error for "-", else the file, a relative name being taken in
  // `directory` (the data directory). Opening again makes a new file at
  // the name, so a log renamed away is left behind whole. When the file
  // cannot be opened, *warning says why and the log goes on where it went
  // before (nowhere, at start-up).
  bool Open(std::string_view setting, std::string_view directory, std::string* warning);
  bool IsOn() const;
  // Appends the record's line; a failed write is dropped, never reported
  // to the request.
  void Write(const AccessRecord& record);

 private:
  mutable std::mutex mutex_;
  // Shared with the writes in progress, so that a reopen never closes the
  // file under one of them.
  std::shared_ptr<AppendFile> file_;
};

}  // namespace lumo

#endif  // LUMO_WEB_ACCESS_LOG_H_
