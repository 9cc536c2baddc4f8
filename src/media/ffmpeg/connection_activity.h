#pragma once
// Whether an RTSP session's connection is still receiving. The RTSP demuxer reads its own
// TCP connection, out of sight of the input's byte counters; the kernel keeps count.

#include <cstdint>
#include <string>

namespace media {
namespace ffmpeg {

class ConnectionActivity {
public:
    // Watches the TCP connections of this process to the host and port `url` names (port
    // 554 when it names none). A host given by name matches any peer on that port.
    explicit ConnectionActivity(const std::string& url);

    // True when one of those connections received data in the last `within_ms`
    // milliseconds. False when none is open, or the system cannot tell.
    bool received_within(int64_t within_ms) const;

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
