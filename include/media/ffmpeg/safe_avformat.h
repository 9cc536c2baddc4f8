#pragma once
// The guarded-call pattern for FFmpeg calls whose failure ends an operation,
// and the table of option keys an input may be opened with.

#include <string>

#include "media/common/clogger.h"
#include "media/ffmpeg/av.h"

// EAGAIN means "not now" (no frame ready yet, try again), not a failure worth a line.
#define AV_CHECK(expr)                                                                   \
    do {                                                                                 \
        const int CODE = (expr);                                                         \
        if (CODE == AVERROR(EAGAIN)) {                                                   \
            return false;                                                                \
        }                                                                                \
        if (CODE < 0) {                                                                  \
            char errbuf[1024];                                                           \
            av_strerror(CODE, errbuf, sizeof(errbuf));                                   \
            LOG_ERROR("[AV_STRERROR]: {} {}", std::string(errbuf), static_cast<int>(CODE)); \
            return false;                                                                \
        }                                                                                \
    } while (0)

namespace media {
namespace ffmpeg {

// Option keys for opening an input. A null key is not passed at all; the nested tables
// name the values some keys may take.
struct av_dictionary_set_info {
    const char* preset = nullptr;
    const char* max_delay = nullptr;
    const char* tune = nullptr;
    const char* crf = nullptr;
    const char* profile = nullptr;
    const char* level = nullptr;
    const char* rtsp_transport = nullptr;
    const char* stimeout = nullptr;
    const char* buffer_size = nullptr;
    const char* timeout = nullptr;

    struct av_dict_set_preset {
        const char* ultrafast = "ultrafast";
        const char* superfast = "superfast";
        const char* veryfast = "veryfast";
        const char* faster = "faster";
        const char* fast = "fast";
        const char* medium = "medium";
        const char* slow = "slow";
        const char* slower = "slower";
        const char* veryslow = "veryslow";
        const char* placebo = "placebo";
    } av_dict_set_preset;

    struct av_dict_set_tune {
        const char* film = "film";
        const char* animation = "animation";
        const char* grain = "grain";
        const char* stillimage = "stillimage";
        const char* psnr = "psnr";
        const char* ssim = "ssim";
        const char* fastdecode = "fastdecode";
        const char* zerolatency = "zerolatency";
    } av_dict_set_tune;

    struct av_dict_set_profile {
        const char* baseline = "baseline";
        const char* extended = "extended";
        const char* main = "main";
        const char* high = "high";
    } av_dict_set_profile;

    struct av_dict_set_level {
        const char* level1_0 = "1.0";
        const char* level1_1 = "1.1";
        const char* level1_2 = "1.2";
        const char* level1_3 = "1.3";
        const char* level2_0 = "2.0";
        const char* level2_1 = "2.1";
        const char* level2_2 = "2.2";
        const char* level3_0 = "3.0";
        const char* level3_1 = "3.1";
        const char* level3_2 = "3.2";
        const char* level4_0 = "4.0";
        const char* level4_1 = "4.1";
        const char* level4_2 = "4.2";
        const char* level5_0 = "5.0";
        const char* level5_1 = "5.1";
    } av_dict_set_level;

    struct av_dict_set_rtsp_transport {
        const char* udp = "udp";
        const char* tcp = "tcp";
        const char* rtp = "rtp";
    } av_dict_set_rtsp_transport;
};

// Adds the non-null keys to the dictionary; "timeout" goes before "buffer_size".
void apply_dictionary_info(const av_dictionary_set_info& info, AVDictionary** dictionary);

}  // namespace ffmpeg
}  // namespace media
