#include "server_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>

namespace media::test {
namespace {

// Owns a connected loopback socket for the checks below.
class Connection {
 public:
  explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  bool send_all(const std::string& data) {
    return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Whatever arrives within timeout_ms; empty when nothing does.
  std::string receive(int timeout_ms) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return {};
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_;
  bool connected_ = false;
};

bool process_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

long open_fd_count() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<long>(std::distance(begin(fds), end(fds)));
}

TEST(ServerProcess, RtspServerAnswersOptions) {
  ServerProcess server = start_rtsp_server();
  ASSERT_GT(server.port(), 0);
  Connection conn(server.port());
  ASSERT_TRUE(conn.connected());
  ASSERT_TRUE(conn.send_all("OPTIONS rtsp://127.0.0.1/h264 RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
  EXPECT_EQ(conn.receive(5000).rfind("RTSP/1.0 200 OK", 0), 0u);

  const pid_t pid = server.pid();
  server.stop();
  EXPECT_TRUE(process_gone(pid));
  EXPECT_FALSE(server.running());
}

TEST(ServerProcess, RtmpServerAcceptsConnections) {
  ServerProcess server = start_rtmp_server();
  ASSERT_GT(server.port(), 0);
  Connection conn(server.port());
  ASSERT_TRUE(conn.connected());
  // An RTMP handshake starts with version byte 3 plus 1536 bytes; the server
  // answers with its own version byte first.
  ASSERT_TRUE(conn.send_all(std::string(1, '\x03') + std::string(1536, '\0')));
  EXPECT_EQ(conn.receive(5000).substr(0, 1), std::string(1, '\x03'));

  const pid_t pid = server.pid();
  server.stop();
  EXPECT_TRUE(process_gone(pid));
  // nginx and the publisher shared the group; none of it may outlive stop().
  EXPECT_NE(kill(-pid, 0), 0);
}

TEST(ServerProcess, SilentServerNeverSends) {
  ServerProcess server = start_misbehaving_server("silent");
  Connection conn(server.port());
  ASSERT_TRUE(conn.connected());
  ASSERT_TRUE(conn.send_all("OPTIONS rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
  EXPECT_EQ(conn.receive(500), "");

  const pid_t pid = server.pid();
  server.stop();
  EXPECT_TRUE(process_gone(pid));
}

TEST(ServerProcess, RtspErrorServerEchoesCSeq) {
  ServerProcess server = start_misbehaving_server("rtsp-error");
  Connection conn(server.port());
  ASSERT_TRUE(conn.connected());
  ASSERT_TRUE(conn.send_all("DESCRIBE rtsp://127.0.0.1/x RTSP/1.0\r\nCSeq: 42\r\n\r\n"));
  EXPECT_EQ(conn.receive(5000), "RTSP/1.0 404 Not Found\r\nCSeq: 42\r\n\r\n");
}

TEST(ServerProcess, DestructorStopsServer) {
  pid_t pid = -1;
  {
    ServerProcess server = start_misbehaving_server("garbage");
    pid = server.pid();
    ASSERT_FALSE(process_gone(pid));
  }
  EXPECT_TRUE(process_gone(pid));
}

TEST(ServerProcess, MissingReadyLineThrows) {
  ServerProcess server;
  EXPECT_THROW(server.start({"/bin/sh", "-c", "echo hello"}, std::chrono::seconds(5)),
               std::runtime_error);
  EXPECT_THROW(server.start({"/bin/sleep", "30"}, std::chrono::milliseconds(300)),
               std::runtime_error);
  EXPECT_FALSE(server.running());
}

TEST(ServerProcess, LeavesNoDescriptorsBehind) {
  const long before = open_fd_count();
  {
    ServerProcess server = start_misbehaving_server("silent");
    EXPECT_GT(open_fd_count(), before);
  }
  ServerProcess failed;
  EXPECT_THROW(failed.start({"/bin/true"}, std::chrono::seconds(5)), std::runtime_error);
  EXPECT_EQ(open_fd_count(), before);
}

TEST(ServerProcess, FreeTcpPortIsUsable) {
  const int port = free_tcp_port();
  EXPECT_GT(port, 0);
  EXPECT_LT(port, 65536);
}

}  // namespace
}  // namespace media::test
