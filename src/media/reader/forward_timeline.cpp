#include "forward_timeline.h"

namespace media {
namespace reader {

ForwardTimeline::Verdict ForwardTimeline::place(int64_t& pts_us, bool keyframe, int64_t interval_us) {
    pts_us += shift_us_;
    if (!placed_any_ || pts_us > last_us_) {
        placed_any_ = true;
        last_us_ = pts_us;
        return Verdict::Forward;
    }
    if (!keyframe || last_us_ - pts_us <= kRestartStepUs) {
        return Verdict::Behind;
    }
    const int64_t restarted = last_us_ + interval_us;
    shift_us_ += restarted - pts_us;
    pts_us = restarted;
    last_us_ = restarted;
    return Verdict::Restarted;
}

}  // namespace reader
}  // namespace media
