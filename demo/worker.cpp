// The decode loop on the worker thread: read, decode, output; count failed reads and
// rebuild the whole chain after too many in a row.
#include <algorithm>
#include <chrono>
#include <thread>

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "media/pipeline/reconnection.h"
#include "running.h"
#include "stream_decoder.h"

namespace {

constexpr auto kStopCheck = std::chrono::milliseconds(50);

// The pause between reconnections, cut short by Ctrl-C.
void pause_unless_stopped(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (running.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            kStopCheck, until - std::chrono::steady_clock::now()));
    }
}

}  // namespace

void Decoder::Worker() {
    int frame_index = 0;
    while (running.load()) {
        std::shared_ptr<AVPacket> pkt = media::ffmpeg::make_packet();
        if (!pkt) {
            continue;
        }
        int ret = 0;
        {
            const cpu_account::Scope account(cpu_account::Part::Read);
            ret = demuxer_->read_packet(pkt);
        }
        if (ret == 0) {
            read_error_count_ = 0;
            if (pkt->stream_index != demuxer_->get_video_stream_index()) {
                continue;
            }
            std::shared_ptr<AVFrame> frame;
            media::pipeline::GateNotes notes;
            {
                const cpu_account::Scope account(cpu_account::Part::Decode);
                frame = media::pipeline::decode_gated(*decoder_, keyframe_gate_, pkt, notes);
            }
            if (notes.picture_lost) {
                LOG_INFO("[Decoder] picture data lost, waiting for a keyframe");
            }
            if (notes.waiting_for_keyframe) {
                LOG_INFO("[Decoder] waiting for a keyframe");
            }
            if (notes.picture_refused) {
                LOG_INFO("[Decoder] picture refused by the decoder, waiting for a keyframe");
            }
            if (!frame) {
                continue;
            }
            if (OutputImage(frame, frame_index) == ImageOutcome::LimitReached) {
                return;
            }
            continue;
        }

        if (!running.load()) {
            break;  // the read was given up for Ctrl-C, not failed by the source
        }
        LOG_ERROR("[Decoder] read av_packet failed, continuous failure count {}", read_error_count_);
        ++read_error_count_;
        int reconnect_count = 0;
        while (read_error_count_ > media::pipeline::kFailuresBeforeReconnect && running.load()) {
            LOG_ERROR("[Decoder] disconnect url");
            if (Reconnect()) {
                LOG_INFO("[Decoder] reconnect url successful");
                read_error_count_ = 0;
            } else {
                LOG_ERROR("[Decoder] reconnect url failed, reconnection count {}", reconnect_count);
                ++reconnect_count;
                pause_unless_stopped(media::pipeline::kReconnectPause);
            }
        }
    }
}
