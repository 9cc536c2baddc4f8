#include "faulty_rtsp.h"

#include <signal.h>

#include <stdexcept>

namespace media {
namespace faults {

FaultyRtsp::FaultyRtsp(const std::string& fault, std::chrono::seconds outage,
                       const std::vector<std::string>& server_args)
    : server_(media::test::start_rtsp_server(0, server_args)) {
    proxy_.start({"/usr/bin/python3", std::string(MEDIA_SOURCE_DIR) + "/tests/servers/fault_proxy.py",
                  "--upstream", std::to_string(server_.port()), "--fault", fault, "--outage",
                  std::to_string(outage.count())},
                 std::chrono::seconds(30));
}

std::string FaultyRtsp::url(const std::string& userinfo) const {
    const std::string at = userinfo.empty() ? "" : userinfo + "@";
    return "rtsp://" + at + "127.0.0.1:" + std::to_string(proxy_.port()) + "/h264";
}

void FaultyRtsp::strike() const {
    if (!proxy_.running() || kill(proxy_.pid(), SIGUSR1) != 0) {
        throw std::runtime_error("cannot signal the fault proxy");
    }
}

}  // namespace faults
}  // namespace media
