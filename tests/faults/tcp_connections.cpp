#include "tcp_connections.h"

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace media {
namespace faults {

namespace {

constexpr const char* kEstablished = "01";

// /proc/net/tcp lists "sl local_address rem_address st ..." with addresses as
// HEXIP:HEXPORT; the listening socket has no remote port, so a match is a client.
bool connected_to(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state)) continue;
        const std::size_t colon = remote.find(':');
        if (colon == std::string::npos || state != kEstablished) continue;
        if (std::stoi(remote.substr(colon + 1), nullptr, 16) == port) return true;
    }
    return false;
}

}  // namespace

bool wait_for_connection_to(int port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (connected_to(port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace faults
}  // namespace media
