#include "media/reader/camera_reader.h"

#include <algorithm>

#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "media/ffmpeg/log_redaction.h"
#include "media/image/bgr_converter.h"
#include "media/pipeline/decode_steps.h"
#include "media/pipeline/keyframe_gate.h"
#include "media/pipeline/reconnection.h"
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

// One connection's chain: demuxer, decoder, keyframe gate and converter, built anew by
// every reconnection.
class CameraReader::Session {
public:
    explicit Session(const std::atomic<bool>& running) : demuxer_(ffmpeg::Demuxer::createShare()) {
        demuxer_->set_running_flag(&running);
        // Pictures go out as fast as the caller takes them, or at the file's own times.
        demuxer_->set_paced(false);
    }

    bool open(const std::string& address) {
        if (!demuxer_->open(address)) {
            status_ = demuxer_->open_status();
            return false;
        }
        decoder_ = ffmpeg::Decoder::createShare(demuxer_);
        if (!decoder_->open()) {
            status_ = AVERROR_DECODER_NOT_FOUND;
            return false;
        }
        time_base_ = demuxer_->get_video_stream()->time_base;
        bool guessed = false;
        frame_rate_ = pipeline::frame_rate_of(*demuxer_->get_video_stream(), guessed);
        if (guessed) {
            LOG_ERROR("use default fps 25");
        }
        return true;
    }

    void wake() { demuxer_->wake(); }
    // FFmpeg's status for a failed open.
    int status() const { return status_; }

    ffmpeg::Demuxer& demuxer() { return *demuxer_; }
    ffmpeg::Decoder& decoder() { return *decoder_; }
    pipeline::KeyframeGate& gate() { return gate_; }
    image::BgrConverter& converter() { return converter_; }
    ForwardTimeline& timeline() { return timeline_; }
    AVRational time_base() const { return time_base_; }
    double frame_rate() const { return frame_rate_; }

private:
    std::shared_ptr<ffmpeg::Demuxer> demuxer_;
    std::shared_ptr<ffmpeg::Decoder> decoder_;
    pipeline::KeyframeGate gate_;
    image::BgrConverter converter_;
    ForwardTimeline timeline_;
    AVRational time_base_{1, 90000};
    double frame_rate_ = pipeline::kDefaultFrameRate;
    int status_ = 0;
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
        if (session_) {
            session_->wake();
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

void CameraReader::publish(Image image, bool ended_at_marker) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!at_callers_pace() && options_.delivery == Delivery::NewestOnly) {
        // Vision code wants what the camera sees now: an image no one took is stale.
        unseen_drops_ += images_.size();
        stats_.dropped += images_.size();
        images_.clear();
    } else {
        const std::size_t capacity = std::max<std::size_t>(options_.queue_capacity, 1);
        if (images_.empty()) {
            queue_full_reported_ = false;
        } else if (images_.size() >= capacity && !queue_full_reported_ && !at_callers_pace()) {
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

bool CameraReader::keep_forward(Image& image) {
    const int64_t source_us = image.pts_us;
    const auto interval_us = static_cast<int64_t>(1e6 / session_->frame_rate());
    switch (session_->timeline().place(image.pts_us, image.keyframe, interval_us)) {
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
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.time_went_back;
    }
    // Said once for a run of such pictures: a source that repeats a stretch would
    // otherwise fill the log.
    if (!behind_reported_) {
        behind_reported_ = true;
        LOG_INFO("picture dropped: its time {} us is not after the last image's {} us", image.pts_us,
                 session_->timeline().last_us());
    }
    return false;
}

bool CameraReader::open_session() {
    std::unique_ptr<Session> previous;
    {
        const std::lock_guard<std::mutex> lock(wake_mutex_);
        previous = std::move(session_);
        session_ = std::make_unique<Session>(running_);
    }
    // Closed outside the lock: a goodbye to a healthy server may take a moment.
    previous.reset();
    pace_first_us_ = -1;
    // stop() may have come before the session could be woken.
    return running_.load() && session_->open(address_);
}

bool CameraReader::at_callers_pace() const { return session_->demuxer().reads_file() && !options_.realtime; }

bool CameraReader::reopen() {
    set_state(State::Reconnecting);
    for (int tries = 0; running_.load(); ++tries) {
        LOG_ERROR("disconnect, reconnecting");
        emit(EventKind::Reconnecting, static_cast<int>(reconnections_), "reconnecting");
        if (open_session()) {
            return true;
        }
        if (!running_.load()) {
            break;
        }
        const std::string failed = common::fmt("reconnect failed, reconnection count {}", tries);
        LOG_ERROR("{}", failed);
        emit(EventKind::ReconnectFailed, tries, failed);
        if (!pause(pipeline::kReconnectPause)) {
            break;
        }
    }
    return false;
}

void CameraReader::deliver_decoded(const std::shared_ptr<AVFrame>& first, Clock::time_point arrival, bool after_end) {
    if (first) {
        deliver(first, arrival);
    }
    // One packet can give several pictures, and the empty packet at the end of a file
    // all those the decoder still holds.
    std::shared_ptr<AVFrame> next;
    while (running_.load() && pipeline::next_gated(session_->decoder(), session_->gate(), next, after_end)) {
        if (next) {
            deliver(next, arrival);
        }
    }
}

void CameraReader::deliver(const std::shared_ptr<AVFrame>& frame, Clock::time_point arrival) {
    Image image;
    const int64_t pts = frame->best_effort_timestamp;
    image.has_pts = pts != AV_NOPTS_VALUE;
    image.pts_us = image.has_pts ? av_rescale_q(pts, session_->time_base(), AVRational{1, 1000000}) : 0;
    image.keyframe = pipeline::starts_anew(*frame);
    if (image.has_pts && !keep_forward(image)) {
        return;
    }
    if (session_->converter().changes_picture(*frame)) {
        const std::string text = common::fmt("picture changed to {}x{}", frame->width, frame->height);
        LOG_INFO("{}", text);
        emit(EventKind::PictureChanged, 0, text);
    }
    std::shared_ptr<cv::Mat> bgr;
    if (!session_->converter().convert(frame, bgr)) {
        return;
    }
    if (options_.realtime && session_->demuxer().reads_file() && image.has_pts) {
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
    publish(std::move(image), session_->demuxer().pictures_end_at_marker());
}

bool CameraReader::file_ended() {
    session_->decoder().send(nullptr);
    deliver_decoded(nullptr, Clock::now(), true);
    if (!running_.load()) {
        return false;
    }
    if (options_.loop) {
        LOG_INFO("end of the file, reading it again");
        if (open_session()) {
            return true;
        }
        // A file gone or changed since: as any source that cannot be opened again.
        if (!reopen()) {
            return false;
        }
        reconnected();
        return true;
    }
    LOG_INFO("end of the file");
    emit(EventKind::Ended, 0, "end of the file");
    set_state(State::Ended);
    return false;
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
    read();
    {
        const std::lock_guard<std::mutex> lock(wake_mutex_);
        session_.reset();
    }
    if (state_.load() != State::Failed && state_.load() != State::Ended) {
        set_state(State::Stopped);
    }
    common::thread_log_route() = nullptr;
}

void CameraReader::read() {
    if (!open_session()) {
        if (!running_.load()) {
            return;
        }
        const int status = session_->status();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            failure_ = "cannot open " + common::redact_url(address_) + ": " + error_text(status);
            failure_code_ = status;
        }
        LOG_ERROR("open failed");
        emit(EventKind::OpenFailed, 0, "open failed");
        if (!options_.retry) {
            set_state(State::Failed);
            return;
        }
        set_state(State::Reconnecting);
        if (!pause(pipeline::kReconnectPause) || !reopen()) {
            return;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stats_.frame_rate = session_->frame_rate();
    }
    LOG_INFO("opened, start reading");
    emit(EventKind::Opened, 0, "opened");
    set_state(State::Running);

    int failures = 0;
    while (running_.load()) {
        std::shared_ptr<AVPacket> packet = ffmpeg::make_packet();
        if (!packet) {
            continue;
        }
        const int status = session_->demuxer().read_packet(packet);
        const Clock::time_point arrival = Clock::now();
        if (status == 0) {
            failures = 0;
            if (packet->stream_index != session_->demuxer().get_video_stream_index()) {
                continue;
            }
            pipeline::GateNotes notes;
            const std::shared_ptr<AVFrame> frame =
                pipeline::decode_gated(session_->decoder(), session_->gate(), packet, notes);
            if (notes.waiting_for_keyframe) {
                LOG_INFO("waiting for a keyframe");
                emit(EventKind::WaitingForKeyframe, 0, "waiting for a keyframe");
            }
            if (notes.picture_lost || notes.picture_refused) {
                const char* text = notes.picture_lost ? "picture data lost, waiting for a keyframe"
                                                      : "picture refused by the decoder, waiting for a keyframe";
                LOG_INFO("{}", text);
                emit(EventKind::PictureLost, 0, text);
            }
            deliver_decoded(frame, arrival);
            continue;
        }
        if (!running_.load()) {
            break;  // the read was given up for stop(), not failed by the source
        }
        if (status == AVERROR_EOF && session_->demuxer().reads_file()) {
            if (!file_ended()) {
                return;
            }
            continue;
        }
        const std::string text = common::fmt("read failed, continuous failure count {}", failures);
        LOG_ERROR("{}", text);
        emit(EventKind::ReadFailed, failures, text);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.failed_reads;
        }
        if (++failures <= pipeline::kFailuresBeforeReconnect) {
            continue;
        }
        if (!reopen()) {
            break;
        }
        reconnected();
        failures = 0;
    }
}

void CameraReader::reconnected() {
    ++reconnections_;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stats_.reconnections = reconnections_;
    }
    LOG_INFO("reconnect successful");
    emit(EventKind::Reconnected, static_cast<int>(reconnections_), "reconnect successful");
    set_state(State::Running);
}

}  // namespace reader
}  // namespace media
