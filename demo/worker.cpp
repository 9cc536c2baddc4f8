// The decode loop on the worker thread: read, decode, output; count failed reads and
// rebuild the whole chain after too many in a row.
#include <chrono>
#include <thread>

#include "cpu_account.h"
#include "media/common/clogger.h"
#include "running.h"
#include "stream_decoder.h"

namespace {

constexpr int kFailuresBeforeReconnect = 20;  // the 21st failure in a row reconnects
constexpr auto kReconnectPause = std::chrono::milliseconds(1000);

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
            if (keyframe_gate_.note_packet(*pkt)) {
                LOG_INFO("[Decoder] waiting for a keyframe");
            }
            std::shared_ptr<AVFrame> frame;
            {
                const cpu_account::Scope account(cpu_account::Part::Decode);
                decoder_->send(pkt);
                frame = media::ffmpeg::make_frame();
                if (!frame || !decoder_->receive(frame) || !keyframe_gate_.admits(*frame)) {
                    continue;
                }
            }
            if (OutputImage(frame, frame_index) == ImageOutcome::LimitReached) {
                return;
            }
            continue;
        }

        LOG_ERROR("[Decoder] read av_packet failed, continuous failure count {}", read_error_count_);
        ++read_error_count_;
        int reconnect_count = 0;
        while (read_error_count_ > kFailuresBeforeReconnect && running.load()) {
            LOG_ERROR("[Decoder] disconnect url");
            if (Reconnect()) {
                LOG_INFO("[Decoder] reconnect url successful");
                read_error_count_ = 0;
            } else {
                LOG_ERROR("[Decoder] reconnect url failed, reconnection count {}", reconnect_count);
                ++reconnect_count;
                std::this_thread::sleep_for(kReconnectPause);
            }
        }
    }
}
