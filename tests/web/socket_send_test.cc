// The one send loop every response uses: what it sends when the peer
// reads, stops reading, goes away, and when the file it sends from fails.
#include "web/socket_send.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "files/fault_injecting_file_manager.h"
#include "tests/files/scratch.h"

namespace lumo {
namespace {

struct SocketPair {
  SocketPair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    const int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
  ~SocketPair() {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  // Everything the peer receives until the sender closes.
  std::string Drain() {
    std::string got;
    char buffer[4096];
    fcntl(fds[1], F_SETFL, 0);
    for (ssize_t n; (n = read(fds[1], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    return got;
  }
  int fds[2] = {-1, -1};
};

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

TEST(SocketSend, BuffersAndFilesReachAReadingPeer) {
  const std::string data = Pattern(1 << 20);
  Scratch box({"d"});
  box.Put("d/f", data);
  FaultInjectingFileManager files;
  ASSERT_TRUE(files.SetDataDirectory(box.Path("d")));
  std::unique_ptr<File> file = files.Open(kDataLocation, "f", kOpenRead);
  ASSERT_TRUE(file);
  for (int from_file = 0; from_file < 2; ++from_file) {
    SocketPair pair;
    std::string got;
    std::thread reader([&] { got = pair.Drain(); });
    TimedSocketWait wait(2000);
    const int64_t sent =
        from_file ? SendFileOnSocket(pair.fds[0], *file, 1000, int64_t(data.size()) - 1000, wait)
                  : SendOnSocket(pair.fds[0], data.data(), int64_t(data.size()), false, wait);
    close(pair.fds[0]);
    pair.fds[0] = -1;
    reader.join();
    EXPECT_EQ(sent, int64_t(data.size()) - (from_file ? 1000 : 0));
    EXPECT_TRUE(got == data.substr(from_file ? 1000 : 0)) << got.size();
  }
}

TEST(SocketSend, APeerThatStopsReadingCostsOneWait) {
  SocketPair pair;
  const std::string data = Pattern(8 << 20);
  TimedSocketWait wait(50);
  const int64_t sent = SendOnSocket(pair.fds[0], data.data(), int64_t(data.size()), false, wait);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, int64_t(data.size()));
}

TEST(SocketSend, APeerThatWentAwayAndAFailingFileAreFailures) {
  SocketPair gone;
  close(gone.fds[1]);
  gone.fds[1] = -1;
  TimedSocketWait wait(50);
  EXPECT_EQ(SendOnSocket(gone.fds[0], "abc", 3, false, wait), -1);

  Scratch box({"d"});
  box.Put("d/f", Pattern(100000));
  FaultInjectingFileManager files;
  ASSERT_TRUE(files.SetDataDirectory(box.Path("d")));
  std::unique_ptr<File> file = files.Open(kDataLocation, "f", kOpenRead);
  ASSERT_TRUE(file);
  SocketPair pair;
  files.FailAt(1, FaultInjectingFileManager::kFaultRead);
  EXPECT_EQ(SendFileOnSocket(pair.fds[0], *file, 0, 100000, wait), -1);
  // A file shorter than announced ends the send with what it had.
  files.FailAt(0);
  std::string got;
  std::thread reader([&] { got = pair.Drain(); });
  EXPECT_EQ(SendFileOnSocket(pair.fds[0], *file, 99990, 500, wait), 10);
  close(pair.fds[0]);
  pair.fds[0] = -1;
  reader.join();
  EXPECT_EQ(got.size(), 10u);
}

}  // namespace
}  // namespace lumo
