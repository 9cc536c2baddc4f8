// The decode loop on the worker thread, in the program's words: the library's stream loop
// reads, decodes and rebuilds the chain; each picture goes to the image output steps.
#include "cpu_account.h"
#include "media/common/clogger.h"
#include "media/pipeline/stream_loop.h"
#include "running.h"
#include "stream_decoder.h"

namespace {

using media::pipeline::GateNotes;

class WorkerLoop final : public media::pipeline::StreamLoop {
public:
    explicit WorkerLoop(Decoder& stream) : StreamLoop(running, false, false), stream_(stream) {}

private:
    media::pipeline::Chain& chain() override { return stream_.chain(); }
    bool try_rebuild() override { return stream_.Reconnect(); }

    bool on_picture(const std::shared_ptr<AVFrame>& frame, Clock::time_point /*arrival*/) override {
        return stream_.OutputImage(frame, frame_index_) != ImageOutcome::LimitReached;
    }

    void on_gate(const GateNotes& notes) override {
        if (notes.picture_lost) {
            LOG_INFO("[Decoder] picture data lost, waiting for a keyframe");
        }
        if (notes.waiting_for_keyframe) {
            LOG_INFO("[Decoder] waiting for a keyframe");
        }
        if (notes.picture_refused) {
            LOG_INFO("[Decoder] picture refused by the decoder, waiting for a keyframe");
        }
    }

    void on_read_failed(int count) override {
        LOG_ERROR("[Decoder] read av_packet failed, continuous failure count {}", count);
    }
    void on_rebuilding() override { LOG_ERROR("[Decoder] disconnect url"); }
    void on_rebuild_failed(int count) override {
        LOG_ERROR("[Decoder] reconnect url failed, reconnection count {}", count);
    }
    void on_rebuilt() override { LOG_INFO("[Decoder] reconnect url successful"); }

    int read_packet(std::shared_ptr<AVPacket>& packet) override {
        const cpu_account::Scope account(cpu_account::Part::Read);
        return StreamLoop::read_packet(packet);
    }
    GateNotes send_packet(const std::shared_ptr<AVPacket>& packet) override {
        const cpu_account::Scope account(cpu_account::Part::Decode);
        return StreamLoop::send_packet(packet);
    }
    bool receive_picture(std::shared_ptr<AVFrame>& admitted) override {
        const cpu_account::Scope account(cpu_account::Part::Decode);
        return StreamLoop::receive_picture(admitted);
    }

    Decoder& stream_;
    int frame_index_ = 0;  // the next file's number, kept across reconnections
};

}  // namespace

void Decoder::Worker() {
    WorkerLoop loop(*this);
    loop.run();
}
