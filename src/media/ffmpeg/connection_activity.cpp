#include "connection_activity.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The peer's numeric address and port, for IPv4 and IPv6 stream sockets.
bool peer_of(int fd, std::string& address, int& port) {
    int type = 0;
    socklen_t type_size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_size) != 0 || type != SOCK_STREAM) {
        return false;
    }
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) {
        return false;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        port = ntohs(in->sin_port);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        port = ntohs(in6->sin6_port);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    } else {
        return false;
    }
    address = text;
    return true;
}

// A host written as an address, in the form inet_ntop gives back; empty for a name.
std::string numeric(const std::string& host) {
    unsigned char bytes[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = {};
    for (const int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, host.c_str(), bytes) == 1 && inet_ntop(family, bytes, text, sizeof text) != nullptr) {
            return text;
        }
    }
    return {};
}

}  // namespace

ConnectionActivity::ConnectionActivity(const std::string& url, int default_port) {
    char host[256] = {};
    int port = -1;
    av_url_split(nullptr, 0, nullptr, 0, host, sizeof host, &port, nullptr, 0, url.c_str());
    port_ = port > 0 ? port : default_port;
    address_ = numeric(host);
}

template <typename Visit>
void ConnectionActivity::for_each_connection(Visit visit) const {
    const std::unique_ptr<DIR, DirCloser> fds(opendir("/proc/self/fd"));
    if (!fds) {
        return;
    }
    while (const dirent* entry = readdir(fds.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat info {};
        if (end == entry->d_name || *end != '\0' || fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        std::string address;
        int port = -1;
        if (!peer_of(static_cast<int>(fd), address, port) || port != port_ ||
            (!address_.empty() && address != address_)) {
            continue;
        }
        if (!visit(static_cast<int>(fd))) {
            return;
        }
    }
}

int64_t ConnectionActivity::since_last_received() const {
    int64_t latest = -1;
    for_each_connection([&](int fd) {
        tcp_info tcp{};
        socklen_t tcp_size = sizeof tcp;
        // The time since the last data counts from the connection's start when none came.
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &tcp, &tcp_size) == 0 &&
            tcp_size >= offsetof(tcp_info, tcpi_bytes_received) + sizeof tcp.tcpi_bytes_received &&
            tcp.tcpi_bytes_received > 0 && (latest < 0 || tcp.tcpi_last_data_recv < latest)) {
            latest = tcp.tcpi_last_data_recv;
        }
        return true;
    });
    return latest;
}

int ConnectionActivity::only_connection() const {
    int found = -1;
    int count = 0;
    for_each_connection([&](int fd) {
        found = fd;
        return ++count < 2;
    });
    return count == 1 ? found : -1;
}

}  // namespace ffmpeg
}  // namespace media
