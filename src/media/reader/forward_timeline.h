#pragma once
// Keeps the times of one connection's images going forward. A source can hand a picture
// out twice or out of order, or start its clock over in mid-stream: an RTSP server that
// restarts a shared stream for a client joining it sends the others its first timestamps
// again. Vision code pairs and orders pictures by these times, so a picture that would
// step back is dropped; a keyframe far behind starts a new clock, and the times from
// there on continue from the last image's rather than leave the reader blind until the
// source's clock catches up (for as long as the stream had run).

#include <cstdint>

namespace media {
namespace reader {

class ForwardTimeline {
public:
    enum class Verdict {
        Forward,    // after the last image: hand it out
        Behind,     // at or before the last image: drop it
        Restarted,  // a keyframe this far behind starts the source's clock anew
    };

    // How far behind the last image a keyframe must be to start a new clock: more than
    // any reordering or repetition of pictures, less than a stream restarted by hand.
    static constexpr int64_t kRestartStepUs = 1000000;

    // Places a picture's time. `pts_us` comes back shifted onto the images' timeline:
    // unchanged until the source restarts its clock, `interval_us` after the last image
    // for the keyframe that restarts it.
    Verdict place(int64_t& pts_us, bool keyframe, int64_t interval_us);

    // The last image's time, on the images' timeline.
    int64_t last_us() const { return last_us_; }

private:
    bool placed_any_ = false;
    int64_t last_us_ = 0;
    int64_t shift_us_ = 0;
};

}  // namespace reader
}  // namespace media
