#pragma once
// A client that keeps reading one live RTSP mount for as long as it exists. The test
// server builds a mount's shared stream only for its first client, which on a busy
// machine can take longer than media_demo's two-second watchdog allows; a camera streams
// all along. With a keeper in place, media_demo joins a stream that already flows.

#include <string>

#include "demo_process.h"

namespace media {
namespace e2e {

class StreamKeeper {
public:
    // Returns once pictures flow; throws std::runtime_error when they do not within 30 s.
    // `scratch` is a directory for the client's own output.
    StreamKeeper(const std::string& url, const std::string& scratch);
    ~StreamKeeper();
    StreamKeeper(const StreamKeeper&) = delete;
    StreamKeeper& operator=(const StreamKeeper&) = delete;

private:
    DemoProcess client_;
};

}  // namespace e2e
}  // namespace media
