#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace media::test {

// A TCP connection over 127.0.0.1 with both ends in this process, closed with the object.
struct LoopbackConnection {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  int server = -1;
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};

  LoopbackConnection() {
    socklen_t size = sizeof address;
    auto* name = reinterpret_cast<sockaddr*>(&address);
    if (bind(listener, name, size) != 0 || listen(listener, 1) != 0 || getsockname(listener, name, &size) != 0 ||
        connect(client, name, size) != 0 || (server = accept(listener, nullptr, nullptr)) < 0) {
      close_all();
      throw std::runtime_error("no TCP connection over 127.0.0.1");
    }
  }
  ~LoopbackConnection() { close_all(); }
  void close_all() {
    for (int* fd : {&client, &server, &listener}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;
  int server_port() const { return ntohs(address.sin_port); }
};

}  // namespace media::test
