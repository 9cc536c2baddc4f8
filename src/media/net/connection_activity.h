#pragma once
// The one TCP connection an input's own open makes to its server (RTSP, RTMP), which
// FFmpeg opens and reads out of sight of the input's byte counters: its descriptor, and
// what the kernel knows of it.
//
// FFmpeg does not say which socket it made, so the connection is recognised as the one
// socket to the server's host and port that appears while this input opens. Another input
// of the same process may open a connection to the same server (the main and the sub
// stream of one camera) at the same moment; so that neither takes the other's, the inputs
// that open to one server take turns between noting the sockets that exist and recognising
// the new one, a matter of milliseconds once the server accepts.

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include <sys/types.h>

namespace media {
namespace net {

class ConnectionActivity {
public:
    // The server `url` names (`default_port` when it names none). A host given by name
    // matches any peer on that port.
    ConnectionActivity(const std::string& url, int default_port);
    ~ConnectionActivity();
    ConnectionActivity(const ConnectionActivity&) = delete;
    ConnectionActivity& operator=(const ConnectionActivity&) = delete;

    // Before the input opens: waits for this server's turn (at most a few seconds, less
    // once `interrupted` says so) and notes the connections to it that exist already.
    void begin(const std::function<bool()>& interrupted);
    // While the input opens, on the opening thread: recognises the connection once there
    // is exactly one new one, and ends the turn.
    void recognise();
    // The open is over: ends the turn if recognise() has not.
    void end();

    // A descriptor of the input's connection, this object's own (closed by forget()), or
    // -1 when it was not recognised.
    int connection() const;
    // Milliseconds since the connection last received data; -1 when it is not known, has
    // received nothing, or the system cannot tell.
    int64_t since_last_received() const;
    // From any thread: shuts the connection down, so that a wait on it ends at once.
    void shut_down();
    // Before the input closes its connection: lets go of it, so that closing it ends it.
    void forget();

private:
    // Calls `visit(fd, inode)` for each connection to the watched peer until it returns false.
    template <typename Visit>
    void for_each_connection(Visit visit) const;
    void leave_turn();

    int port_;
    std::string address_;  // the numeric peer address, or empty to match any
    std::string peer_;     // the turn's key
    bool in_turn_ = false;
    std::set<ino_t> existing_;
    mutable std::mutex mutex_;  // guards the recognised connection against shut_down()
    int fd_ = -1;  // our own descriptor of the connection's socket
};

}  // namespace net
}  // namespace media
