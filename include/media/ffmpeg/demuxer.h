#pragma once
// Opens one source (RTSP, RTMP, a file) with a fixed low-latency option set, picks its
// first video stream and hands out packets. Every blocking FFmpeg call on the input runs
// under a two-second watchdog: a read is cut when no packet has come out of FFmpeg for two
// seconds, whatever bytes the connection carries.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

// Now, in whole milliseconds of a monotonic clock: a board without a real-time clock
// steps its wall clock by months when it first reaches a time server, and the watchdog
// must neither fire nor stall for that.
int64_t get_current_time_stamp();

// FFmpeg's interrupt callback: ctx points to the demuxer's watchdog stamp, a
// std::atomic<int64_t> of get_current_time_stamp()'s.
int interrupt_callback(void* ctx);

// Whether FFmpeg reads `url` as a file on this machine (its protocol is "file"): its end
// is the end, not a dropped source.
bool names_local_file(const std::string& url);

}  // namespace ffmpeg

namespace net {
class ConnectionActivity;
}  // namespace net

namespace rtp {
class AccessUnitAssembler;
class InterleavedPeek;
}  // namespace rtp

namespace ffmpeg {

class Demuxer {
public:
    Demuxer();
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    bool open(const std::string& url);
    // Opens an input whose bytes come through `io` (memory, a pipe) rather than an
    // address. The caller keeps `io` alive until close() and frees it afterwards. Such an
    // input may not make FFmpeg open anything else by name: no files, no network.
    bool open(AVIOContext* io);
    void close();
    // While `*running` is false, every wait on the input (opening, a read, the peek at the
    // connection) is abandoned within a tenth of a second. The flag outlives the demuxer.
    void set_running_flag(const std::atomic<bool>* running) { running_ = running; }
    // From any thread, once the running flag is cleared: a wait on the server's connection
    // ends at once rather than at the next of FFmpeg's checks.
    void wake();
    // 0 on success, -1 when no input is open, otherwise av_read_frame's negative status.
    // Once a read has been cut short (the watchdog, a socket timeout), every later read
    // fails with AVERROR_EXIT: the connection may have stopped in the middle of a message.
    int read_packet(std::shared_ptr<AVPacket>& packet);
    void seek(int64_t timestamp);
    // A file's packets come out no faster than a camera's, 35 ms apart, unless the caller
    // paces its pictures itself (or wants them as fast as it can take them).
    void set_paced(bool paced) { paced_ = paced; }
    // Why the latest open failed: FFmpeg's status (AVERROR_STREAM_NOT_FOUND when the
    // input has no video stream); 0 after an open that succeeded.
    int open_status() const { return open_status_; }

    static std::shared_ptr<Demuxer> createShare() { return std::make_shared<Demuxer>(); }

    // Whether the video stream's pictures go out as soon as their last packet is in (RTSP,
    // the sender's marker bits read off the connection and proved true), rather than a
    // frame interval later, when the next picture begins.
    bool pictures_end_at_marker() const;

    AVFormatContext* get_format_ctx();
    int get_video_stream_index();
    AVStream* get_video_stream() const;
    AVCodecID get_video_codec_id() const;
    std::string get_suffix();
    // A copy of the video stream's parameters: its pointer members (extradata) still point
    // into the stream and are valid only while the input is open.
    std::shared_ptr<AVCodecParameters> get_video_codec_parameters() const;

private:
    // Installed as FFmpeg's interrupt callback: trips interrupt_callback's two seconds from
    // the stamp, which opening and each read set. While opening, where no packet comes out
    // to show progress, bytes the input or its connection takes re-arm it, and an RTMP
    // server that has answered gets time for its first keyframe. After it has fired once, or once the
    // running flag is cleared, it refuses every further wait on the input, silently.
    static int watchdog(void* demuxer);
    void extend_open_budget();
    bool stop_requested() const { return running_ != nullptr && !running_->load(); }
    bool start_open();
    bool open_input(const std::string& url, const std::string& shown_name);
    void assemble_pictures_ourselves(const std::string& url);
    void describe_from_first_slice(AVStream& stream);
    int read_frame(AVPacket& packet);
    // The next packet, of any stream; the video stream's as whole pictures.
    int read_picture(std::shared_ptr<AVPacket>& packet);
    int pull_packet(AVPacket& packet);

    AVDictionary* opt = nullptr;
    AVFormatContext* format_ctx_ = nullptr;
    int video_stream_index_ = -1;
    std::string suffix_;
    std::atomic<int64_t> last_read_time_{0};
    int64_t bytes_seen_ = 0;
    bool watchdog_fired_ = false;
    bool connection_cut_ = false;
    const std::atomic<bool>* running_ = nullptr;
    bool opening_ = false;
    bool local_file_ = false;
    bool paced_ = true;
    int open_status_ = 0;
    int64_t open_started_ = 0;
    // The server's connection (RTSP, RTMP), recognised while FFmpeg opens it: what the
    // kernel knows of it keeps an open going, the peek reads it, wake() shuts it down.
    std::unique_ptr<net::ConnectionActivity> server_connection_;
    std::mutex server_connection_mutex_;  // wake() against the open replacing it
    bool waits_for_keyframe_ = false;  // RTMP: the server may hold the first media back
    bool open_extended_ = false;
    // RTSP H.264 and HEVC: pictures joined here rather than by FFmpeg's parser, and ended
    // by the marker bit read off the connection.
    std::unique_ptr<rtp::AccessUnitAssembler> assembler_;
    std::unique_ptr<rtp::InterleavedPeek> peek_;
    int video_channel_ = -1;
    bool described_ = false;  // size, format and rate known without probing
};

}  // namespace ffmpeg
}  // namespace media
