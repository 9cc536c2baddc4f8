#include "connection_activity.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "media/ffmpeg/av.h"

namespace media {
namespace net {

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

// Whether descriptor `name` of the /proc/self/fd listing `dir` is a socket, and its inode.
// Read from the listing's link ("socket:[inode]") rather than by fstat on the descriptor:
// the descriptors are other threads' too, and the link says what one is without using it.
bool socket_inode(int dir, const char* name, ino_t& inode) {
    char target[64] = {};
    const ssize_t length = readlinkat(dir, name, target, sizeof target - 1);
    static constexpr char kPrefix[] = "socket:[";
    if (length <= 0 || std::strncmp(target, kPrefix, sizeof kPrefix - 1) != 0) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long number = std::strtoull(target + sizeof kPrefix - 1, &end, 10);
    if (end == target + sizeof kPrefix - 1 || *end != ']') {
        return false;
    }
    inode = static_cast<ino_t>(number);
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

// Whose turn it is to open a connection to a server, by server: process-wide, since the
// sockets that identify a connection are too.
class Turns {
public:
    // False when the turn did not come within kMaxWait or `interrupted` said so.
    bool take(const std::string& peer, const std::function<bool()>& interrupted) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto until = std::chrono::steady_clock::now() + kMaxWait;
        while (busy_.count(peer) != 0) {
            if (interrupted() || std::chrono::steady_clock::now() >= until) {
                return false;
            }
            freed_.wait_for(lock, kSlice);
        }
        busy_.insert(peer);
        return true;
    }

    void give_back(const std::string& peer) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            busy_.erase(peer);
        }
        freed_.notify_all();
    }

private:
    // A turn lasts until the server accepts, or the open gives up (the watchdog's two
    // seconds); an opener that waits longer goes ahead without recognising its connection.
    static constexpr auto kMaxWait = std::chrono::milliseconds(3000);
    static constexpr auto kSlice = std::chrono::milliseconds(10);
    std::mutex mutex_;
    std::condition_variable freed_;
    std::set<std::string> busy_;
};

Turns& turns() {
    static Turns instance;
    return instance;
}

}  // namespace

ConnectionActivity::ConnectionActivity(const std::string& url, int default_port) {
    char host[256] = {};
    int port = -1;
    av_url_split(nullptr, 0, nullptr, 0, host, sizeof host, &port, nullptr, 0, url.c_str());
    port_ = port > 0 ? port : default_port;
    address_ = numeric(host);
    peer_ = std::string(host) + ":" + std::to_string(port_);
}

ConnectionActivity::~ConnectionActivity() {
    leave_turn();
    forget();
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
        ino_t inode = 0;
        if (end == entry->d_name || *end != '\0' || !socket_inode(dirfd(fds.get()), entry->d_name, inode)) {
            continue;
        }
        std::string address;
        int port = -1;
        if (!peer_of(static_cast<int>(fd), address, port) || port != port_ ||
            (!address_.empty() && address != address_)) {
            continue;
        }
        if (!visit(static_cast<int>(fd), inode)) {
            return;
        }
    }
}

void ConnectionActivity::begin(const std::function<bool()>& interrupted) {
    leave_turn();
    forget();
    existing_.clear();
    in_turn_ = turns().take(peer_, interrupted);
    if (in_turn_) {
        for_each_connection([&](int, ino_t inode) {
            existing_.insert(inode);
            return true;
        });
    }
}

void ConnectionActivity::recognise() {
    if (!in_turn_) {
        return;
    }
    int found = -1;
    int count = 0;
    for_each_connection([&](int fd, ino_t inode) {
        if (existing_.count(inode) == 0) {
            found = fd;
            ++count;
        }
        return count < 2;
    });
    if (count == 0) {
        return;  // not connected yet
    }
    if (count == 1) {
        // A descriptor of our own for the same socket: FFmpeg may close its own at any
        // moment (a failed open, a redirect), and its number may then name another
        // socket; this one stays ours until forget().
        const int own = fcntl(found, F_DUPFD_CLOEXEC, 0);
        const std::lock_guard<std::mutex> lock(mutex_);
        fd_ = own;
    }
    // Two new connections to the server in one turn: some other part of the process
    // connects there too, and neither can be told for ours.
    leave_turn();
}

void ConnectionActivity::end() { leave_turn(); }

void ConnectionActivity::leave_turn() {
    if (in_turn_) {
        in_turn_ = false;
        turns().give_back(peer_);
    }
}

int ConnectionActivity::connection() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fd_;
}

int64_t ConnectionActivity::since_last_received() const {
    const int fd = connection();
    tcp_info tcp{};
    socklen_t tcp_size = sizeof tcp;
    // The time since the last data counts from the connection's start when none came.
    if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &tcp, &tcp_size) != 0 ||
        tcp_size < offsetof(tcp_info, tcpi_bytes_received) + sizeof tcp.tcpi_bytes_received ||
        tcp.tcpi_bytes_received == 0) {
        return -1;
    }
    return tcp.tcpi_last_data_recv;
}

void ConnectionActivity::shut_down() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
    }
}

void ConnectionActivity::forget() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
}

}  // namespace net
}  // namespace media
