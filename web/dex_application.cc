#include "web/http_request.h"
#include "web/http_server.h"

namespace lumo {

// Until the request context lands, programs are not run.
void ServeProgram(HTTPListenerThread&, HTTPRequest& request, const String&) {
  static const char kResponse[] =
      "HTTP/1.1 501 Not Implemented\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  request.SendAll(kResponse, sizeof kResponse - 1);
}

}  // namespace lumo
