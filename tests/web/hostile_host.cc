// The server for the hostile-request cases that need waits lumodex keeps at
// their production values: the same HTTPServer, configured as lumodex does,
// with the send and receive time-out, the run monitor's tick and the
// output a run may hold before it streams given on the command line. Listens on 127.0.0.1, a port
// the system chooses, and announces it on standard output as lumodex does.
//
//   hostile_host --config FILE --root DIR --data DIR [--io-timeout MS]
//                [--monitor-interval MS] [--output-flush BYTES]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "web/http_server.h"

int main(int argc, char** argv) {
  const char* config = nullptr;
  const char* root = nullptr;
  const char* data = nullptr;
  int io_timeout = 30000;
  int monitor = 5000;
  int output_flush = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--config") {
      config = value;
    } else if (flag == "--root") {
      root = value;
    } else if (flag == "--data") {
      data = value;
    } else if (flag == "--io-timeout") {
      io_timeout = atoi(value);
    } else if (flag == "--monitor-interval") {
      monitor = atoi(value);
    } else if (flag == "--output-flush") {
      output_flush = atoi(value);
    } else {
      fprintf(stderr, "hostile_host: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (config == nullptr || root == nullptr || data == nullptr) {
    fprintf(stderr, "hostile_host: --config, --root and --data are needed\n");
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  lumo::HTTPServer server;
  std::vector<std::string> warnings;
  server.LoadConfiguration(config, &warnings);
  for (const std::string& w : warnings) fprintf(stderr, "hostile_host: %s\n", w.c_str());
  server.OverridePort(0);
  server.OverrideText(lumo::kConfigDirLumo, root);
  server.OverrideText(lumo::kConfigDirData, data);
  server.SetBindAddress("127.0.0.1");
  server.SetIOTimeout(io_timeout);
  server.SetMonitorInterval(monitor);
  if (output_flush > 0)
    server.Configuration().SetInteger(lumo::kConfigBufszOutputFlush, output_flush);
  lumo::String error;
  if (server.Listen(&error) != lumo::HTTPServer::ListenResult::kListening) {
    fprintf(stderr, "hostile_host: %s\n", error.Text());
    return 1;
  }
  printf("Lumo Dex serving http://127.0.0.1:%d/ from %s\n", server.BoundPort(), root);
  fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  return server.Stop() ? 0 : 1;
}
