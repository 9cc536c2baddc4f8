#include "faulty_rtsp.h"

namespace media {
namespace faults {

FaultyRtsp::FaultyRtsp(const std::string& fault, std::chrono::seconds outage,
                       const std::vector<std::string>& server_args)
    : server_(media::test::start_rtsp_server(0, server_args)),
      proxy_(media::test::start_fault_proxy(server_.port(), fault, outage)) {}

std::string FaultyRtsp::url(const std::string& userinfo, const std::string& mount) const {
    const std::string at = userinfo.empty() ? "" : userinfo + "@";
    return "rtsp://" + at + "127.0.0.1:" + std::to_string(proxy_.port()) + mount;
}

void FaultyRtsp::strike() const { media::test::strike(proxy_); }

}  // namespace faults
}  // namespace media
