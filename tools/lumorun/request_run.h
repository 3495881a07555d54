// lumorun's request mode: the program runs as the server would run it for
// one request built from the command line. The request goes through a
// socket pair into the server's own request path (HTTPServer::
// ServeConnection), so the query string, form fields, uploads, cookies
// and headers reach the program through the parsers a served page meets.
#ifndef LUMO_TOOLS_LUMORUN_REQUEST_RUN_H_
#define LUMO_TOOLS_LUMORUN_REQUEST_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

struct RequestOptions {
  bool has_query = false;
  std::string query;
  const char* post_file = nullptr;  // a POST with this file as its body
  std::string content_type = "application/x-www-form-urlencoded";
  bool has_content_type = false;
  std::string cookie;
  std::vector<std::string> headers;  // "Name: value"
  bool include = false;              // the status line and headers first

  // Any option that makes the run a request.
  bool Active() const {
    return has_query || post_file != nullptr || !cookie.empty() || !headers.empty() || include ||
           has_content_type;
  }
};

// Where the program lies, as lumorun resolved it from the command line.
struct RunPaths {
  std::string root;      // the script directory, absolute and link-free
  std::string relative;  // the program below it
  std::string data;      // the data directory named with --data, or ""
};

// Runs the request and writes the response body (with `include`, the
// whole response) to stdout. The exit status: 0 the program ended, 1 a
// fatal error, a time-out or running out of memory stopped it, 2 it could
// not be loaded or the request could not be made.
int RunAsRequest(const RequestOptions& options, const char* config_flag, const RunPaths& paths,
                 int32_t timeout);

}  // namespace lumo

#endif  // LUMO_TOOLS_LUMORUN_REQUEST_RUN_H_
