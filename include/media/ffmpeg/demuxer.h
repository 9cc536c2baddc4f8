#pragma once
// Opens one source (RTSP, RTMP, a file) with a fixed low-latency option set, picks its
// first video stream and hands out packets. Every blocking FFmpeg call on the input runs
// under a two-second watchdog re-armed before opening and before each read.

#include <cstdint>
#include <memory>
#include <string>

#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

// Wall clock in whole milliseconds since the epoch.
int64_t get_current_time_stamp();

// FFmpeg's interrupt callback: ctx points to the demuxer's watchdog stamp.
int interrupt_callback(void* ctx);

class AccessUnitAssembler;
class ConnectionActivity;
class InterleavedPeek;

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
    // 0 on success, -1 when no input is open, otherwise av_read_frame's negative status.
    // Once a read has been cut short (the watchdog, a socket timeout), every later read
    // fails with AVERROR_EXIT: the connection may have stopped in the middle of a message.
    int read_packet(std::shared_ptr<AVPacket>& packet);
    void seek(int64_t timestamp);

    static std::shared_ptr<Demuxer> createShare() { return std::make_shared<Demuxer>(); }

    AVFormatContext* get_format_ctx();
    int get_video_stream_index();
    AVStream* get_video_stream() const;
    AVCodecID get_video_codec_id() const;
    std::string get_suffix();
    // A copy of the video stream's parameters: its pointer members (extradata) still point
    // into the stream and are valid only while the input is open.
    std::shared_ptr<AVCodecParameters> get_video_codec_parameters() const;

private:
    // Installed as FFmpeg's interrupt callback: re-arms the stamp while bytes keep
    // arriving (counted by the input, or for RTSP by the kernel), so only a silent source
    // trips interrupt_callback's two seconds. After it has fired once it refuses every
    // further wait on the input, silently.
    static int watchdog(void* demuxer);
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
    int64_t last_read_time_ = 0;
    int64_t bytes_seen_ = 0;
    bool watchdog_fired_ = false;
    bool connection_cut_ = false;
    // An RTSP session's own connection, which the input's byte counter does not see.
    std::unique_ptr<ConnectionActivity> session_activity_;
    // RTSP H.264 and HEVC: pictures joined here rather than by FFmpeg's parser, and ended
    // by the marker bit read off the connection.
    std::unique_ptr<AccessUnitAssembler> assembler_;
    std::unique_ptr<InterleavedPeek> peek_;
    int video_channel_ = -1;
    bool described_ = false;  // size, format and rate known without probing
};

}  // namespace ffmpeg
}  // namespace media
