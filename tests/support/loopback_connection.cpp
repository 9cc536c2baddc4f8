#include "loopback_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace media::test {

namespace {

int port_of(int fd, bool local) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  auto* name = reinterpret_cast<sockaddr*>(&address);
  if ((local ? getsockname(fd, name, &size) : getpeername(fd, name, &size)) != 0) return -1;
  return ntohs(address.sin_port);
}

}  // namespace

LoopbackConnection::LoopbackConnection() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close_all();
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  client_ = socket(AF_INET, SOCK_STREAM, 0);
  if (client_ < 0 || connect(client_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (server_ = accept(listener_, nullptr, nullptr)) < 0) {
    close_all();
    throw std::runtime_error("cannot connect over 127.0.0.1");
  }
  server_port_ = ntohs(address.sin_port);
  client_port_ = port_of(client_, true);
}

LoopbackConnection::~LoopbackConnection() { close_all(); }

void LoopbackConnection::close_all() {
  for (int* fd : {&client_, &server_, &listener_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace media::test
