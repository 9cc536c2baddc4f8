#include "media/ffmpeg/demuxer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "../rtp/access_unit_assembler.h"
#include "../net/connection_activity.h"
#include "first_slice_description.h"
#include "../rtp/interleaved_peek.h"
#include "media/common/clogger.h"
#include "media/common/redact_url.h"
#include "media/ffmpeg/log_redaction.h"
#include "media/ffmpeg/safe_avformat.h"

namespace media {
namespace ffmpeg {

namespace {

constexpr int64_t kWatchdogSeconds = 2;
constexpr auto kMp4ReadPause = std::chrono::milliseconds(35);
// Packets read for a slice header before probing is left to FFmpeg: a 4K picture's
// keyframe can take a few hundred, and a session may begin in the middle of one.
constexpr int kPacketsToDescribe = 2000;
// Opening a network input may re-arm the watchdog on the bytes it takes up to this long.
constexpr int64_t kOpenLimitMs = 12000;
// The longest keyframe interval of cameras: what a server that holds a new player back to
// a keyframe may keep it waiting, beyond the watchdog's own budget.
constexpr int64_t kKeyframeWaitMs = 4000;
constexpr int kRtspPort = 554;
constexpr int kRtmpPort = 1935;

bool is_rtsp(const std::string& url) { return url.compare(0, 7, "rtsp://") == 0 || url.compare(0, 8, "rtsps://") == 0; }

bool is_rtmp(const std::string& url) { return url.compare(0, 7, "rtmp://") == 0; }

// How much of a live source probing may read before the first packet is handed out.
//
// FFmpeg counts about twenty pictures to estimate a frame rate: four seconds at 5 fps,
// twenty at 1 fps, longer than the watchdog allows, and all of it discarded or stale by the
// time the first picture is decoded. The rate comes from the stream's own description
// instead (the parameter sets' timing, the container's metadata), so no picture is
// counted for it.
//
// An RTSP session describes its streams before the first packet (the SDP and the
// parameter sets in it), and its connection is the RTSP demuxer's own, so the watchdog
// sees no bytes arrive while probing waits. Probing therefore stops at the first packet
// and keeps it: at any rate of one picture a second or more it ends within the watchdog,
// and the one packet it read is the newest there is, often the session's first keyframe.
//
// Other live inputs (RTMP's FLV, MPEG-TS) announce no streams up front, so FFmpeg reads
// for its whole analysis duration, five seconds by default, in case another stream turns
// up. Half a second finds the video stream of any camera at one picture a second or more;
// what it read is that old, so it is dropped.
void bound_live_probing(const std::string& url, AVDictionary** options) {
    av_dict_set(options, "fpsprobesize", "0", 0);
    if (is_rtsp(url)) {
        av_dict_set(options, "probesize", "32", 0);
    } else {
        av_dict_set(options, "analyzeduration", "500000", 0);
        av_dict_set(options, "fflags", "nobuffer", 0);
    }
}

int first_video_stream(const AVFormatContext& format) {
    for (unsigned int i = 0; i < format.nb_streams; ++i) {
        if (format.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

int64_t get_current_time_stamp() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool names_local_file(const std::string& url) {
    const char* protocol = avio_find_protocol_name(url.c_str());
    return protocol != nullptr && std::string(protocol) == "file";
}

int interrupt_callback(void* ctx) {
    const int64_t last_read_time = static_cast<const std::atomic<int64_t>*>(ctx)->load();
    const int64_t timeout = kWatchdogSeconds;
    if (get_current_time_stamp() - last_read_time > timeout * 1000) {
        LOG_ERROR("av_read_frame time out");
        return -9999999;
    }
    return 0;
}

int Demuxer::watchdog(void* demuxer) {
    auto* self = static_cast<Demuxer*>(demuxer);
    // A cut is reported once; the operations FFmpeg still attempts on the dead input
    // (the rest of a read, the goodbye when it is closed) are refused without a word.
    if (self->watchdog_fired_) {
        return AVERROR_EXIT;
    }
    if (self->stop_requested()) {
        self->watchdog_fired_ = true;
        return AVERROR_EXIT;
    }
    if (self->opening_) {
        if (self->server_connection_) {
            self->server_connection_->recognise();
        }
        self->extend_open_budget();
    }
    const int abort = interrupt_callback(&self->last_read_time_);
    if (abort != 0) {
        self->watchdog_fired_ = true;
    }
    return abort;
}

// No packet comes out while an input opens, so what shows progress there is what the
// input takes: the bytes it reads (RTMP's stream, a file, probing), or for the network
// protocols that read their own connection (RTSP's requests, RTMP's handshake), the
// bytes the kernel saw arrive on it in the last two seconds. A slow camera answering
// DESCRIBE, SETUP and PLAY a second each still opens; a source trickling bytes that
// never make a stream is given up after kOpenLimitMs.
//
// An RTMP server that waits for a keyframe before it sends a new player anything (nginx's
// wait_key) answers the play request and then stays silent up to a keyframe interval.
// FFmpeg's open waits inside for that first media, where nothing arrives. Once, such a
// server gets the longest keyframe interval cameras use, plus the watchdog's two seconds,
// from the last bytes it sent; a server that never answered still fails in two.
void Demuxer::extend_open_budget() {
    const int64_t now = get_current_time_stamp();
    if (!local_file_ && now - open_started_ >= kOpenLimitMs) {
        return;
    }
    const AVIOContext* io = format_ctx_ != nullptr ? format_ctx_->pb : nullptr;
    if (io != nullptr && io->bytes_read != bytes_seen_) {
        bytes_seen_ = io->bytes_read;
        last_read_time_ = now;
    }
    if (!server_connection_ || now - last_read_time_ <= kWatchdogSeconds * 1000) {
        return;
    }
    const int64_t silent_for = server_connection_->since_last_received();
    if (silent_for < 0) {
        return;
    }
    int64_t granted = now - silent_for;
    if (waits_for_keyframe_ && !open_extended_) {
        open_extended_ = true;
        granted += kKeyframeWaitMs;
    }
    last_read_time_ = std::max(last_read_time_.load(), granted);
}

Demuxer::Demuxer() = default;

Demuxer::~Demuxer() { close(); }

// A demuxer is opened once; a second open starts from a clean state all the same.
bool Demuxer::start_open() {
    install_log_redaction();
    close();
    {
        const std::lock_guard<std::mutex> lock(server_connection_mutex_);
        server_connection_.reset();
    }
    open_extended_ = false;
    waits_for_keyframe_ = false;
    local_file_ = false;
    assembler_.reset();
    peek_.reset();
    video_channel_ = -1;
    described_ = false;
    video_stream_index_ = -1;
    suffix_.clear();
    format_ctx_ = avformat_alloc_context();
    if (format_ctx_ == nullptr) {
        open_status_ = AVERROR(ENOMEM);
        LOG_ERROR("avformat_alloc_context failed");
        return false;
    }
    return true;
}

bool Demuxer::open(const std::string& url) {
    if (!start_open()) {
        return false;
    }
    avformat_network_init();

    av_dictionary_set_info av_ctx_info;
    av_ctx_info.preset = av_ctx_info.av_dict_set_preset.ultrafast;
    av_ctx_info.rtsp_transport = av_ctx_info.av_dict_set_rtsp_transport.tcp;
    av_ctx_info.tune = av_ctx_info.av_dict_set_tune.zerolatency;
    av_ctx_info.buffer_size = "102400";
    // The RTSP socket's own timeout: as long as the watchdog's budget. A camera at one
    // picture a second is silent for about a second between pictures; one second would
    // cut its reads, and a cut connection is not read again.
    av_ctx_info.stimeout = "2000000";
    av_ctx_info.max_delay = "500000";

    if (url.find("mp4") != std::string::npos) suffix_ = "mp4";
    if (url.find("rtmp") != std::string::npos) suffix_ = "rtmp";
    if (url.find("rtsp") != std::string::npos) suffix_ = "rtsp";

    apply_dictionary_info(av_ctx_info, &opt);
#if LIBAVFORMAT_VERSION_MAJOR >= 59
    // FFmpeg 5 renamed the RTSP socket timeout "stimeout" to "timeout". Elsewhere
    // "timeout" means something else (RTMP: wait as a listening server), so RTSP only.
    if (is_rtsp(url)) {
        av_dict_set(&opt, "timeout", av_ctx_info.stimeout, 0);
    }
#endif
    // "nobuffer" throws away what probing read. On a live source that is stale data; on a
    // file it is the first pictures, and a file with a single keyframe would yield nothing.
    local_file_ = names_local_file(url);
    if (!local_file_) {
        bound_live_probing(url, &opt);
    }
    waits_for_keyframe_ = is_rtmp(url);
    if (is_rtsp(url) || waits_for_keyframe_) {
        auto connection = std::make_unique<net::ConnectionActivity>(url, waits_for_keyframe_ ? kRtmpPort : kRtspPort);
        connection->begin([this] { return stop_requested(); });
        const std::lock_guard<std::mutex> lock(server_connection_mutex_);
        server_connection_ = std::move(connection);
    }
    const bool opened = open_input(url, common::redact_url(url));
    if (server_connection_) {
        server_connection_->end();
        if (!opened) {
            server_connection_->forget();
        }
    }
    return opened;
}

bool Demuxer::open(AVIOContext* io) {
    if (io == nullptr || !start_open()) {
        return false;
    }
    format_ctx_->pb = io;
    format_ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Playlists and concatenation lists name further inputs; bytes from an unknown origin
    // must not reach the file system or the network through them.
    av_dict_set(&opt, "protocol_whitelist", "none", 0);
    return open_input("", "custom input");
}

bool Demuxer::open_input(const std::string& url, const std::string& shown_name) {
    last_read_time_ = get_current_time_stamp();
    open_started_ = last_read_time_;
    bytes_seen_ = 0;
    watchdog_fired_ = false;
    connection_cut_ = false;
    format_ctx_->interrupt_callback.callback = watchdog;
    format_ctx_->interrupt_callback.opaque = this;
    open_status_ = AVERROR_EXIT;
    if (stop_requested()) {
        avformat_free_context(format_ctx_);
        format_ctx_ = nullptr;
        return false;
    }

    // Opening ends when open_input returns, on every path.
    struct OpeningPhase {
        bool& opening;
        explicit OpeningPhase(bool& flag) : opening(flag) { opening = true; }
        ~OpeningPhase() { opening = false; }
    } phase(opening_);

    // On failure FFmpeg frees the context and nulls format_ctx_.
    const int opened = avformat_open_input(&format_ctx_, url.c_str(), nullptr, &opt);
    // When the watchdog cut a source gone silent, what FFmpeg then says of the half-read
    // reply ("exit requested", "invalid data") is only the echo of that cut.
    const bool timed_out = opened < 0 && watchdog_fired_ && !stop_requested();
    open_status_ = timed_out ? AVERROR(ETIMEDOUT) : opened;
    AV_CHECK(opened);
    if (is_rtsp(url)) {
        assemble_pictures_ourselves(url);
    }
    // A source that has answered every request of the session (RTSP's DESCRIBE, SETUP and
    // PLAY) has shown it is alive, whatever the watchdog could see of its connection. The
    // first picture gets the watchdog's full budget from there: a one-picture-a-second
    // camera may take a second to send it, after a session set-up that took a second too.
    last_read_time_ = get_current_time_stamp();
    // A stream described from its first slice needs no probing, which would try to decode
    // a piece of a picture. Probing cut short by the watchdog can still report success,
    // with the connection left in the middle of a message: every later read would fail or
    // read garbage.
    int probed = described_ ? 0 : avformat_find_stream_info(format_ctx_, nullptr);
    if (probed >= 0 && watchdog_fired_) {
        probed = AVERROR_EXIT;
    }
    open_status_ = probed;
    AV_CHECK(probed);

    video_stream_index_ = first_video_stream(*format_ctx_);
    if (video_stream_index_ == -1) {
        open_status_ = AVERROR_STREAM_NOT_FOUND;
        avformat_close_input(&format_ctx_);
        return false;
    }
    open_status_ = 0;

    av_dump_format(format_ctx_, 0, shown_name.c_str(), 0);
    return true;
}

// An RTSP session has described its streams by now and sent no picture yet. FFmpeg's
// parser would hand out each H.264 or HEVC picture only once the next one begins, a frame
// interval late; with the parser off, the pieces are joined here and a picture goes out
// as soon as its last packet is in.
void Demuxer::assemble_pictures_ourselves(const std::string& url) {
    const int video = first_video_stream(*format_ctx_);
    if (video < 0 || !rtp::AccessUnitAssembler::handles(format_ctx_->streams[video]->codecpar->codec_id)) {
        return;
    }
    AVStream& stream = *format_ctx_->streams[video];
    format_ctx_->flags |= AVFMT_FLAG_NOPARSE;
    video_stream_index_ = video;
    assembler_ = std::make_unique<rtp::AccessUnitAssembler>(stream.codecpar->codec_id);
    // The connection carries RTP in the clear only for rtsp://; rtsps:// is encrypted.
    const int connection =
        url.compare(0, 7, "rtsp://") == 0 && server_connection_ ? server_connection_->connection() : -1;
    if (connection >= 0) {
        peek_ = std::make_unique<rtp::InterleavedPeek>(connection);
    }
    describe_from_first_slice(stream);
}

// Without its parser, FFmpeg's probing would try to decode a piece of a picture to learn
// its size. The parameter sets and the first slice header, which a picture's first packet
// holds, give size, pixel format and frame rate; with them known, probing reads nothing
// and the packets read here are kept for decoding.
void Demuxer::describe_from_first_slice(AVStream& stream) {
    FirstSliceDescription description(*stream.codecpar);
    std::shared_ptr<AVPacket> packet = make_packet();
    for (int read = 0; packet && read < kPacketsToDescribe; ++read) {
        if (pull_packet(*packet) < 0) {
            return;
        }
        if (packet->stream_index != video_stream_index_ || !assembler_->first_slice_just_arrived()) {
            continue;
        }
        int size = 0;
        const uint8_t* picture = assembler_->first_slice_picture(size);
        if (description.describe(picture, size)) {
            stream.codecpar->width = description.width();
            stream.codecpar->height = description.height();
            stream.codecpar->format = description.format();
            if (description.frame_rate().num > 0) {
                stream.avg_frame_rate = description.frame_rate();
            }
            described_ = true;
            return;
        }
    }
}

void Demuxer::close() {
    if (opt != nullptr) {
        av_dict_free(&opt);
    }
    if (format_ctx_ != nullptr) {
        if (server_connection_) {
            server_connection_->forget();
        }
        // Closing says goodbye on a healthy connection (RTSP's TEARDOWN) and gets a fresh
        // budget for it; on one the watchdog cut, the watchdog refuses it.
        last_read_time_ = get_current_time_stamp();
        avformat_close_input(&format_ctx_);
        format_ctx_ = nullptr;
    }
}

int Demuxer::read_packet(std::shared_ptr<AVPacket>& packet) {
    if (paced_ && suffix_ == "mp4") {
        std::this_thread::sleep_for(kMp4ReadPause);
    }
    if (format_ctx_ == nullptr) {
        return -1;
    }
    // A read cut short, by the watchdog or by the socket's own timeout, may have stopped in
    // the middle of a message (an interleaved RTSP packet, an RTMP chunk): what follows on
    // that connection would be read as headers. Only a new connection is trusted again.
    if (connection_cut_) {
        return AVERROR_EXIT;
    }
    if (assembler_) {
        return read_picture(packet);
    }
    last_read_time_ = get_current_time_stamp();
    return read_frame(*packet);
}

int Demuxer::read_frame(AVPacket& packet) {
    const int status = av_read_frame(format_ctx_, &packet);
    connection_cut_ = watchdog_fired_ || status == AVERROR(ETIMEDOUT);
    return status;
}

int Demuxer::read_picture(std::shared_ptr<AVPacket>& packet) {
    for (;;) {
        if (assembler_->pop(packet)) {
            return 0;
        }
        const int status = pull_packet(*packet);
        if (status < 0 || packet->stream_index != video_stream_index_) {
            return status;
        }
    }
}

// Reads one packet; one of the video stream goes into the assembler, with what the
// connection said about its marker bit and about packets lost before it.
int Demuxer::pull_packet(AVPacket& packet) {
    last_read_time_ = get_current_time_stamp();
    if (peek_) {
        peek_->before_read(kWatchdogSeconds * 1000, [this] { return stop_requested(); });
    }
    av_packet_unref(&packet);
    const int status = read_frame(packet);
    const bool video = status >= 0 && packet.stream_index == video_stream_index_;
    rtp::InterleavedPeek::Verdict verdict;
    if (peek_) {
        verdict = peek_->after_read(video);
    }
    if (video) {
        assembler_->push(packet, verdict.marker, verdict.after_loss);
    }
    return status;
}

void Demuxer::wake() {
    const std::lock_guard<std::mutex> lock(server_connection_mutex_);
    if (server_connection_) {
        server_connection_->shut_down();
    }
}

void Demuxer::seek(int64_t timestamp) {
    if (format_ctx_ == nullptr) {
        return;
    }
    av_seek_frame(format_ctx_, video_stream_index_, timestamp, AVSEEK_FLAG_BACKWARD);
}

bool Demuxer::pictures_end_at_marker() const { return assembler_ && assembler_->ends_pictures_at_markers(); }

AVFormatContext* Demuxer::get_format_ctx() { return format_ctx_; }

int Demuxer::get_video_stream_index() { return video_stream_index_; }

std::string Demuxer::get_suffix() { return suffix_; }

AVStream* Demuxer::get_video_stream() const {
    if (format_ctx_ == nullptr || video_stream_index_ < 0) {
        return nullptr;
    }
    return format_ctx_->streams[video_stream_index_];
}

AVCodecID Demuxer::get_video_codec_id() const {
    const AVStream* stream = get_video_stream();
    return stream == nullptr ? AV_CODEC_ID_NONE : stream->codecpar->codec_id;
}

std::shared_ptr<AVCodecParameters> Demuxer::get_video_codec_parameters() const {
    const AVStream* stream = get_video_stream();
    if (stream == nullptr) {
        return {};
    }
    return std::make_shared<AVCodecParameters>(*stream->codecpar);
}

}  // namespace ffmpeg
}  // namespace media
