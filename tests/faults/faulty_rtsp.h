#pragma once
// The RTSP test server reached through tests/servers/fault_proxy.py, which breaks the
// connections open at the moment of strike() (freeze, reset or outage) and relays later
// ones untouched, so a reconnecting client finds the stream again.

#include <chrono>
#include <string>
#include <vector>

#include "server_process.h"

namespace media {
namespace faults {

class FaultyRtsp {
public:
    // fault: one of tests/servers/fault_proxy.py's; an outage refuses connections for
    // `outage`.
    FaultyRtsp(const std::string& fault, std::chrono::seconds outage,
               const std::vector<std::string>& server_args = {});

    // The address media_demo opens: the proxy's port, with "user:password@" if given.
    std::string url(const std::string& userinfo = "", const std::string& mount = "/h264") const;
    void strike() const;

private:
    media::test::ServerProcess server_;
    media::test::ServerProcess proxy_;
};

}  // namespace faults
}  // namespace media
