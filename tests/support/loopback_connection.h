#pragma once

namespace media::test {

// A TCP connection over 127.0.0.1 with both ends in this process, closed with the
// object. Throws std::runtime_error when the system refuses one.
class LoopbackConnection {
 public:
  LoopbackConnection();
  ~LoopbackConnection();
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;

  int client() const { return client_; }
  int server() const { return server_; }
  int server_port() const { return server_port_; }
  int client_port() const { return client_port_; }

 private:
  void close_all();

  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
  int server_port_ = 0;
  int client_port_ = 0;
};

}  // namespace media::test
