#pragma once
// The loop every reader of a stream runs, and its policy for a source that fails: read a
// packet, send the video stream's through the keyframe gate into the decoder, hand on the
// pictures it admits; count failed reads in a row, and after too many drop the whole chain
// and build it anew, once a second, until the source answers or the owner stops. The
// owner decides what a picture becomes and says what happened in its own words.

#include <atomic>
#include <chrono>
#include <memory>

#include "media/pipeline/chain.h"

namespace media {
namespace pipeline {

class StreamLoop {
public:
    using Clock = std::chrono::steady_clock;

    // A read fails when the source ends, errs or stays silent for the watchdog's two
    // seconds; the 21st failure in a row rebuilds the chain.
    static constexpr int kFailuresBeforeReconnect = 20;
    // Between two tries to build it while the source is away.
    static constexpr std::chrono::milliseconds kReconnectPause{1000};

    virtual ~StreamLoop() = default;

    // Reads until `running` is cleared or the owner ends it.
    void run();
    // Builds the chain anew, tried once a second: false when `running` was cleared first.
    bool rebuild();

protected:
    // `drains`: every picture a packet gives is taken, not only the first. `ends_with_file`:
    // the source is a file, whose end is no failed read: the decoder gives out the pictures
    // it still holds, then on_file_end() decides.
    StreamLoop(const std::atomic<bool>& running, bool drains, bool ends_with_file)
        : running_(running), drains_(drains), ends_with_file_(ends_with_file) {}

    virtual Chain& chain() = 0;
    // One try at opening a new chain in place of the current one.
    virtual bool try_rebuild() = 0;
    // A picture the gate admitted, from a packet read at `arrival`: false ends the loop.
    virtual bool on_picture(const std::shared_ptr<AVFrame>& frame, Clock::time_point arrival) = 0;
    virtual void on_gate(const GateNotes& notes) = 0;
    // `count`: the failures in a row before this one.
    virtual void on_read_failed(int count) = 0;
    // Before each try at rebuilding; after one that failed, with the tries failed before it.
    virtual void on_rebuilding() = 0;
    virtual void on_rebuild_failed(int count) = 0;
    virtual void on_rebuilt() = 0;
    // Every picture of a file is out: true goes on reading (the owner opened it again).
    virtual bool on_file_end() { return false; }
    // Waits unless `running` is cleared first: false then.
    virtual bool pause(std::chrono::milliseconds pause);

    // The steps that reach FFmpeg, for an owner that measures them.
    virtual int read_packet(std::shared_ptr<AVPacket>& packet) { return chain().read(packet); }
    virtual GateNotes send_packet(const std::shared_ptr<AVPacket>& packet) { return chain().send(packet); }
    virtual bool receive_picture(std::shared_ptr<AVFrame>& admitted) { return chain().receive(admitted); }

    const std::atomic<bool>& running_;
    const bool drains_;
    const bool ends_with_file_;

private:
    // The pictures the decoder has ready, to on_picture(): false when the loop is to end.
    bool hand_on_pictures(Clock::time_point arrival);
};

}  // namespace pipeline
}  // namespace media
