#pragma once
// What the kernel knows of a session's TCP connection, which FFmpeg opens and reads out of
// sight of the input's byte counters: its descriptor, and when it last received data.

#include <cstdint>
#include <string>

namespace media {
namespace ffmpeg {

class ConnectionActivity {
public:
    // Watches the TCP connections of this process to the host and port `url` names
    // (`default_port` when it names none). A host given by name matches any peer on that
    // port.
    ConnectionActivity(const std::string& url, int default_port);

    // Milliseconds since one of those connections last received data; -1 when none is
    // open, none has received a byte, or the system cannot tell.
    int64_t since_last_received() const;

    // The descriptor of the one such connection, or -1 when there is none or more than one.
    int only_connection() const;

private:
    // Calls `visit(fd)` for each connection to the watched peer until it returns false.
    template <typename Visit>
    void for_each_connection(Visit visit) const;

    int port_;
    std::string address_;  // the numeric peer address, or empty to match any
};

}  // namespace ffmpeg
}  // namespace media
