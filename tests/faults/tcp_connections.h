#pragma once
// Whether some process on this machine holds an open TCP connection to a loopback port:
// the moment media_demo is inside its open call, which it does not announce.

#include <chrono>

namespace media {
namespace faults {

// Polls the kernel's IPv4 connection table until a connection to 127.0.0.1:port is
// established; false when `limit` passes first.
bool wait_for_connection_to(int port, std::chrono::milliseconds limit);

}  // namespace faults
}  // namespace media
