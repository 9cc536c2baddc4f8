#pragma once
// One live source read end to end on a thread of its own: opened under the watchdog,
// pictures joined and ended at their last packet, decoded (the board's decoders first),
// kept from becoming images until a keyframe, converted to 8-bit BGR, and the chain
// rebuilt once a second after too many failed reads in a row. Several readers in one
// process share nothing a reader's behaviour depends on: each has its own connection,
// watchdog, stop flag, decoder and converter.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core/mat.hpp>

struct AVFrame;

namespace media {
namespace reader {

using Clock = std::chrono::steady_clock;

// A decoded picture as an 8-bit BGR image, with what is known of it.
struct Image {
    std::shared_ptr<const cv::Mat> bgr;  // CV_8UC3, the picture's height by its width
    // Presentation time in microseconds; 0 when the source gave none. Within one
    // connection it only goes forward: a picture that would step back is dropped, and
    // when the source starts its clock over at a keyframe more than a second back, the
    // times go on from the last image's.
    int64_t pts_us = 0;
    bool has_pts = false;
    Clock::time_point arrival{};  // when the picture's last packet came out of the source
    uint64_t sequence = 0;        // 0, 1, 2 ... over the reader's life, reconnections included
    bool keyframe = false;
    uint32_t reconnections = 0;  // successful reconnections before this picture
    uint64_t dropped = 0;        // newest-only: images replaced unseen since the previous take
};

enum class Delivery {
    NewestOnly,  // take() gets the newest image; older ones not taken are dropped and counted
    EveryImage,  // take() gets every image in order; when the queue is full the reader waits
};

// Ended: a file was read to its end (and not asked to loop); every picture was handed out.
enum class State { Opening, Running, Reconnecting, Failed, Stopped, Ended };

const char* to_string(State state);

enum class EventKind {
    Opened,              // the source is open and decoding starts
    OpenFailed,          // the first open failed: the reader stops (State::Failed), or with
                         // `retry` tries again every second (State::Reconnecting)
    WaitingForKeyframe,  // pictures are decoded but held back until a keyframe
    PictureLost,         // part of a picture never arrived, or the decoder refused it
    ReadFailed,          // a read failed; count: earlier failures in a row
    Reconnecting,        // too many failed reads: the chain is rebuilt
    ReconnectFailed,     // count: tries so far; the next comes a second later
    Reconnected,         // count: successful reconnections so far
    PictureChanged,      // the picture's size or format changed
    Ended,               // the file was read to its end
};

const char* to_string(EventKind kind);

struct Event {
    EventKind kind = EventKind::Opened;
    int count = 0;
    std::string text;  // the same words the log line has
    Clock::time_point when{};
};

enum class LogLevel { Info, Error };

struct ReaderOptions {
    Delivery delivery = Delivery::NewestOnly;
    std::size_t queue_capacity = 8;  // EveryImage: images held for the caller at most
    // Files are read as files: every picture in order (whatever `delivery` says), as fast
    // as the caller takes them, to the last one, then State::Ended. With `realtime`, the
    // pictures come at the file's own timestamps, as a camera would send them, and
    // `delivery` applies; with `loop`, the file starts over at its end.
    bool realtime = false;
    bool loop = false;
    // A first open that fails is tried again every second, as after a lost connection,
    // rather than ending the reader in State::Failed.
    bool retry = false;
    // Shown in log lines about this stream; the address with its password hidden by default.
    std::string name;
    // Called on the reader's thread for each event; when unset, events wait for
    // poll_event() (the latest 256 are kept).
    std::function<void(const Event&)> on_event;
    // The library's log lines about this stream (the reader's and its demuxer's and
    // decoder's), each beginning with "[<name>] "; when unset they go to standard output.
    std::function<void(LogLevel, const std::string&)> log;
};

struct ReaderStats {
    uint64_t images = 0;         // decoded pictures that became images
    uint64_t dropped = 0;        // newest-only: images no one took before a newer one came
    uint64_t failed_reads = 0;   // all failed reads
    uint32_t reconnections = 0;  // successful reconnections
    uint64_t time_went_back = 0; // decoded pictures dropped: their time was not after the last image's
    double frame_rate = 0.0;     // the rate the stream says it has, 25 when it says none
    // The latest picture went out as soon as its last packet was in, not when the next
    // one began (RTSP H.264 and HEVC, once the sender's marker bits have proved true).
    bool pictures_end_at_marker = false;
};

class CameraReader {
public:
    // Starts reading `address` at once, on the reader's own thread.
    explicit CameraReader(std::string address, ReaderOptions options = {});
    // Stops as stop() does.
    ~CameraReader();
    CameraReader(const CameraReader&) = delete;
    CameraReader& operator=(const CameraReader&) = delete;

    // Ends reading and joins the thread, within about 100 ms whatever it is doing
    // (opening, a stalled read, the pause before a reconnection). Images not yet taken
    // stay available to take().
    void stop();

    // Waits up to `timeout` for an image not taken yet. False when none came in time, or
    // when the reader has stopped or failed and nothing is left to take.
    bool take(Image& image, std::chrono::milliseconds timeout);

    // Waits up to `timeout` until the first open has either succeeded or failed; returns
    // the state then.
    State wait_opened(std::chrono::milliseconds timeout);

    // The oldest event not yet polled, when no on_event callback was given.
    bool poll_event(Event& event);

    State state() const { return state_.load(); }
    ReaderStats stats() const;
    // Why the first open failed, "cannot open <address>: <FFmpeg's words>" with the
    // password hidden; empty otherwise.
    std::string failure() const;
    // FFmpeg's status for that failure (a negative AVERROR code); 0 otherwise.
    int failure_code() const;
    const std::string& name() const { return name_; }

private:
    class Loop;  // the reading itself, on the reader's thread

    void run();
    // Queues an image for take(). `at_callers_pace`: a file read whole, every picture
    // queued whatever the delivery, so a full queue is how reading goes, not news.
    void publish(Image image, bool ended_at_marker, bool at_callers_pace);
    void emit(EventKind kind, int count, const std::string& text);
    void set_state(State state);
    bool pause(std::chrono::milliseconds pause);  // false when stopped during it
    template <typename Change>
    void update_stats(Change change) {
        const std::lock_guard<std::mutex> lock(mutex_);
        change(stats_);
    }

    const std::string address_;
    const ReaderOptions options_;
    const std::string name_;
    std::atomic<bool> running_{true};
    std::atomic<State> state_{State::Opening};

    mutable std::mutex mutex_;  // guards what follows, up to the loop
    std::condition_variable changed_;
    std::deque<Image> images_;
    uint64_t unseen_drops_ = 0;
    bool queue_full_reported_ = false;
    std::deque<Event> events_;
    ReaderStats stats_;
    std::string failure_;
    int failure_code_ = 0;
    Loop* loop_ = nullptr;  // while the thread reads: stop() wakes its connection under wake_mutex_
    std::mutex wake_mutex_;
    std::mutex stop_mutex_;  // one join, whoever calls stop()

    std::thread thread_;
};

}  // namespace reader
}  // namespace media
