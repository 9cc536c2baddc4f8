#include "media/reader/camera_reader.h"

#include <algorithm>

#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "media/ffmpeg/demuxer.h"
#include "media/ffmpeg/log_redaction.h"
#include "media/image/bgr_converter.h"
#include "media/pipeline/keyframe_gate.h"
#include "media/pipeline/stream_loop.h"
#include "forward_timeline.h"

namespace media {
namespace reader {

namespace {

constexpr std::size_t kEventsKept = 256;

// FFmpeg's words for a status, as av_strerror gives them.
std::string error_text(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof(text));
    return text;
}

}  // namespace

const char* to_string(State state) {
    switch (state) {
        case State::Opening: return "opening";
        case State::Running: return "running";
        case State::Reconnecting: return "reconnecting";
        case State::Failed: return "failed";
        case State::Stopped: return "stopped";
        case State::Ended: return "ended";
    }
    return "unknown";
}

const char* to_string(EventKind kind) {
    switch (kind) {
        case EventKind::Opened: return "opened";
        case EventKind::OpenFailed: return "open failed";
        case EventKind::WaitingForKeyframe: return "waiting for a keyframe";
        case EventKind::PictureLost: return "picture lost";
        case EventKind::ReadFailed: return "read failed";
        case EventKind::Reconnecting: return "reconnecting";
        case EventKind::ReconnectFailed: return "reconnect failed";
        case EventKind::Reconnected: return "reconnected";
        case EventKind::PictureChanged: return "picture changed";
        case EventKind::Ended: return "ended";
    }
    return "unknown";
}

// The reading on the reader's thread: a chain per connection, each picture it admits
// through the converter and onto the connection's timeline to the caller, and what
// happens told in the reader's events and log lines.
class CameraReader::Loop final : public pipeline::StreamLoop {
public:
    Loop(CameraReader& reader, bool reads_file)
        : StreamLoop(reader.running_, true, reads_file), reader_(reader) {}

    // From the first open to the end of reading.
    void read();
    // Under the reader's wake_mutex_, from any thread.
    void wake() {
        if (chain_) {
            chain_->wake();
        }
    }

private:
    pipeline::Chain& chain() override { return *chain_; }
    bool try_rebuild() override { return open_chain(); }
    bool on_picture(const std::shared_ptr<AVFrame>& frame, Clock::time_point arrival) override {
        deliver(frame, arrival);
        return running_.load();
    }
    void on_gate(const pipeline::GateNotes& notes) override {
        if (notes.waiting_for_keyframe) {
            tell(false, EventKind::WaitingForKeyframe, 0, "waiting for a keyframe");
        }
        if (notes.picture_lost || notes.picture_refused) {
            tell(false, EventKind::PictureLost, 0,
                 notes.picture_lost ? "picture data lost, waiting for a keyframe"
                                    : "picture refused by the decoder, waiting for a keyframe");
        }
    }
    void on_read_failed(int count) override {
        tell(true, EventKind::ReadFailed, count, common::fmt("read failed, continuous failure count {}", count));
        reader_.update_stats([](ReaderStats& stats) { ++stats.failed_reads; });
    }
    void on_rebuilding() override {
        reader_.set_state(State::Reconnecting);
        LOG_ERROR("disconnect, reconnecting");
        reader_.emit(EventKind::Reconnecting, static_cast<int>(reconnections_), "reconnecting");
    }
    void on_rebuild_failed(int count) override {
        if (running_.load()) {
            tell(true, EventKind::ReconnectFailed, count, common::fmt("reconnect failed, reconnection count {}", count));
        }
    }
    void on_rebuilt() override {
        const uint32_t count = ++reconnections_;
        reader_.update_stats([&](ReaderStats& stats) { stats.reconnections = count; });
        tell(false, EventKind::Reconnected, static_cast<int>(count), "reconnect successful");
        reader_.set_state(State::Running);
    }
    bool on_file_end() override;
    bool pause(std::chrono::milliseconds pause) override { return reader_.pause(pause); }

    // The same words to the log and, as an event, to the owner.
    void tell(bool error, EventKind kind, int count, const std::string& text) {
        if (error) {
            LOG_ERROR("{}", text);
        } else {
            LOG_INFO("{}", text);
        }
        reader_.emit(kind, count, text);
    }
    // Opens a new chain in place of the current one; false when it could not be opened.
    bool open_chain();
    // Files are read whole, every picture queued for the caller, unless paced as a camera.
    bool at_callers_pace() const { return ends_with_file_ && !reader_.options_.realtime; }
    // Places the image on the connection's timeline; false when it is dropped for stepping back.
    bool keep_forward(Image& image);
    void deliver(const std::shared_ptr<AVFrame>& frame, Clock::time_point arrival);

    CameraReader& reader_;
    std::unique_ptr<pipeline::Chain> chain_;
    int open_status_ = 0;
    // A connection's own: made anew with each chain.
    image::BgrConverter converter_;
    ForwardTimeline timeline_;
    Clock::time_point pace_start_{};  // realtime files: when the pass's first picture went out
    int64_t pace_first_us_ = -1;      // and its time
    // Over the reader's life.
    uint32_t reconnections_ = 0;
    uint64_t sequence_ = 0;
    bool behind_reported_ = false;
};

CameraReader::CameraReader(std::string address, ReaderOptions options)
    : address_(std::move(address)),
      options_(std::move(options)),
      name_(options_.name.empty() ? common::redact_url(address_) : options_.name) {
    // FFmpeg's log callback is the process's one; it is in place before any reader's
    // thread can make FFmpeg log an address.
    ffmpeg::install_log_redaction();
    thread_ = std::thread([this] { run(); });
}

CameraReader::~CameraReader() { stop(); }

void CameraReader::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    {
        const std::lock_guard<std::mutex> lock(wake_mutex_);
        if (loop_ != nullptr) {
            loop_->wake();
        }
    }
    changed_.notify_all();
    const std::lock_guard<std::mutex> lock(stop_mutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool CameraReader::take(Image& image, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] {
        const State now = state_.load();
        return !images_.empty() || now == State::Failed || now == State::Stopped || now == State::Ended;
    });
    if (images_.empty()) {
        return false;
    }
    image = std::move(images_.front());
    images_.pop_front();
    image.dropped = unseen_drops_;
    unseen_drops_ = 0;
    lock.unlock();
    changed_.notify_all();  // a reader waiting for room in the queue
    return true;
}

State CameraReader::wait_opened(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return state_.load() != State::Opening; });
    return state_.load();
}

bool CameraReader::poll_event(Event& event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (events_.empty()) {
        return false;
    }
    event = std::move(events_.front());
    events_.pop_front();
    return true;
}

ReaderStats CameraReader::stats() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::string CameraReader::failure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

int CameraReader::failure_code() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_code_;
}

void CameraReader::set_state(State state) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
    }
    changed_.notify_all();
}

void CameraReader::emit(EventKind kind, int count, const std::string& text) {
    Event event{kind, count, text, Clock::now()};
    if (options_.on_event) {
        options_.on_event(event);
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (events_.size() == kEventsKept) {
        events_.pop_front();
    }
    events_.push_back(std::move(event));
}

bool CameraReader::pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, pause, [this] { return !running_.load(); });
}

void CameraReader::publish(Image image, bool ended_at_marker, bool at_callers_pace) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!at_callers_pace && options_.delivery == Delivery::NewestOnly) {
        // Vision code wants what the camera sees now: an image no one took is stale.
        unseen_drops_ += images_.size();
        stats_.dropped += images_.size();
        images_.clear();
    } else {
        const std::size_t capacity = std::max<std::size_t>(options_.queue_capacity, 1);
        if (images_.empty()) {
            queue_full_reported_ = false;
        } else if (images_.size() >= capacity && !queue_full_reported_ && !at_callers_pace) {
            // Said once until the caller catches up: while the reader waits, the source's
            // pictures pile up in the connection and the images fall behind the camera.
            queue_full_reported_ = true;
            lock.unlock();
            LOG_INFO("image queue full ({} images): reading waits for the caller", capacity);
            lock.lock();
        }
        changed_.wait(lock, [&] { return images_.size() < capacity || !running_.load(); });
        if (!running_.load()) {
            return;
        }
    }
    images_.push_back(std::move(image));
    ++stats_.images;
    stats_.pictures_end_at_marker = ended_at_marker;
    lock.unlock();
    changed_.notify_all();
}

void CameraReader::run() {
    // Every line the library logs on this thread names the stream, and goes where the
    // owner said.
    common::LogRoute route;
    route.stream = name_;
    if (options_.log) {
        route.sink = [this](bool error, const std::string& message) {
            options_.log(error ? LogLevel::Error : LogLevel::Info, message);
        };
    }
    common::thread_log_route() = &route;
    {
        Loop loop(*this, ffmpeg::names_local_file(address_));
        {
            const std::lock_guard<std::mutex> lock(wake_mutex_);
            loop_ = &loop;
        }
        loop.read();
        const std::lock_guard<std::mutex> lock(wake_mutex_);
        loop_ = nullptr;
    }
    if (state_.load() != State::Failed && state_.load() != State::Ended) {
        set_state(State::Stopped);
    }
    common::thread_log_route() = nullptr;
}

void CameraReader::Loop::read() {
    if (!open_chain()) {
        if (!running_.load()) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(reader_.mutex_);
            reader_.failure_ = "cannot open " + common::redact_url(reader_.address_) + ": " + error_text(open_status_);
            reader_.failure_code_ = open_status_;
        }
        LOG_ERROR("open failed");
        reader_.emit(EventKind::OpenFailed, 0, "open failed");
        if (!reader_.options_.retry) {
            reader_.set_state(State::Failed);
            return;
        }
        reader_.set_state(State::Reconnecting);
        if (!pause(kReconnectPause) || !rebuild()) {
            return;
        }
    }
    const double frame_rate = chain_->frame_rate();
    reader_.update_stats([&](ReaderStats& stats) { stats.frame_rate = frame_rate; });
    LOG_INFO("opened, start reading");
    reader_.emit(EventKind::Opened, 0, "opened");
    reader_.set_state(State::Running);
    run();
}

bool CameraReader::Loop::open_chain() {
    std::unique_ptr<pipeline::Chain> previous;
    {
        const std::lock_guard<std::mutex> lock(reader_.wake_mutex_);
        previous = std::move(chain_);
        // Pictures go out as fast as the caller takes them, or at the file's own times.
        chain_ = std::make_unique<pipeline::Chain>(running_, false);
    }
    // Closed outside the lock: a goodbye to a healthy server may take a moment.
    previous.reset();
    converter_.reset();
    timeline_ = ForwardTimeline{};
    pace_first_us_ = -1;
    // stop() may have come before the chain could be woken.
    if (!running_.load()) {
        return false;
    }
    open_status_ = chain_->open(reader_.address_);
    if (open_status_ == 0 && chain_->frame_rate_guessed()) {
        LOG_ERROR("use default fps 25");
    }
    return open_status_ == 0;
}

bool CameraReader::Loop::on_file_end() {
    if (!running_.load()) {
        return false;
    }
    if (reader_.options_.loop) {
        LOG_INFO("end of the file, reading it again");
        if (open_chain()) {
            return true;
        }
        // A file gone or changed since: as any source that cannot be opened again.
        if (!rebuild()) {
            return false;
        }
        on_rebuilt();
        return true;
    }
    tell(false, EventKind::Ended, 0, "end of the file");
    reader_.set_state(State::Ended);
    return false;
}

bool CameraReader::Loop::keep_forward(Image& image) {
    const int64_t source_us = image.pts_us;
    const auto interval_us = static_cast<int64_t>(1e6 / chain_->frame_rate());
    switch (timeline_.place(image.pts_us, image.keyframe, interval_us)) {
        case ForwardTimeline::Verdict::Forward:
            behind_reported_ = false;
            return true;
        case ForwardTimeline::Verdict::Restarted:
            behind_reported_ = false;
            LOG_INFO("the source started its clock over at a keyframe ({} us back): times go on from the last image's",
                     image.pts_us - interval_us - source_us);
            return true;
        case ForwardTimeline::Verdict::Behind:
            break;
    }
    reader_.update_stats([](ReaderStats& stats) { ++stats.time_went_back; });
    // Said once for a run of such pictures: a source that repeats a stretch would
    // otherwise fill the log.
    if (!behind_reported_) {
        behind_reported_ = true;
        LOG_INFO("picture dropped: its time {} us is not after the last image's {} us", image.pts_us,
                 timeline_.last_us());
    }
    return false;
}

void CameraReader::Loop::deliver(const std::shared_ptr<AVFrame>& frame, Clock::time_point arrival) {
    Image image;
    const int64_t pts = frame->best_effort_timestamp;
    image.has_pts = pts != AV_NOPTS_VALUE;
    image.pts_us = image.has_pts ? av_rescale_q(pts, chain_->time_base(), AVRational{1, 1000000}) : 0;
    image.keyframe = pipeline::starts_anew(*frame);
    if (image.has_pts && !keep_forward(image)) {
        return;
    }
    if (converter_.changes_picture(*frame)) {
        tell(false, EventKind::PictureChanged, 0, common::fmt("picture changed to {}x{}", frame->width, frame->height));
    }
    std::shared_ptr<cv::Mat> bgr;
    if (!converter_.convert(frame, bgr)) {
        return;
    }
    if (reader_.options_.realtime && ends_with_file_ && image.has_pts) {
        // As a camera would send them: each picture at its time after the pass's first.
        if (pace_first_us_ < 0) {
            pace_first_us_ = image.pts_us;
            pace_start_ = Clock::now();
        }
        const Clock::time_point due = pace_start_ + std::chrono::microseconds(image.pts_us - pace_first_us_);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        if (wait.count() > 0 && !pause(wait)) {
            return;
        }
        arrival = Clock::now();
    }
    image.bgr = std::move(bgr);
    image.arrival = arrival;
    image.sequence = sequence_++;
    image.reconnections = reconnections_;
    reader_.publish(std::move(image), chain_->demuxer().pictures_end_at_marker(), at_callers_pace());
}

}  // namespace reader
}  // namespace media
