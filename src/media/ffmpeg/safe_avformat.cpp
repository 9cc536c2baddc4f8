#include "media/ffmpeg/safe_avformat.h"

namespace media {
namespace ffmpeg {

void apply_dictionary_info(const av_dictionary_set_info& info, AVDictionary** dictionary) {
    const std::pair<const char*, const char*> entries[] = {
        {"preset", info.preset},       {"max_delay", info.max_delay},
        {"tune", info.tune},           {"crf", info.crf},
        {"profile", info.profile},     {"level", info.level},
        {"rtsp_transport", info.rtsp_transport}, {"stimeout", info.stimeout},
        {"timeout", info.timeout},     {"buffer_size", info.buffer_size},
    };
    for (const auto& entry : entries) {
        if (entry.second != nullptr) {
            av_dict_set(dictionary, entry.first, entry.second, 0);
        }
    }
}

}  // namespace ffmpeg
}  // namespace media
