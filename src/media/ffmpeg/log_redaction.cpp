#include "media/ffmpeg/log_redaction.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "media/common/redact_url.h"
#include "media/ffmpeg/av.h"

namespace media {
namespace ffmpeg {

namespace {

// FFmpeg's default callback keeps its prefixes, colours and repeat folding; it only
// ever sees the redacted text.
void print_as_ffmpeg(void* context, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    av_log_default_callback(context, level, format, args);
    va_end(args);
}

std::string format_message(const char* format, va_list args) {
    char small[1024];
    va_list first;
    va_copy(first, args);
    const int length = std::vsnprintf(small, sizeof small, format, first);
    va_end(first);
    if (length < 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(length));
    }
    std::vector<char> large(static_cast<std::size_t>(length) + 1);
    va_list second;
    va_copy(second, args);
    std::vsnprintf(large.data(), large.size(), format, second);
    va_end(second);
    return std::string(large.data(), static_cast<std::size_t>(length));
}

void redacting_callback(void* context, int level, const char* format, va_list args) {
    // Formatting costs more than FFmpeg's own filtering: skip what would not be printed.
    if (level > av_log_get_level()) {
        return;
    }
    const std::string message = common::redact_urls_in_text(format_message(format, args));
    print_as_ffmpeg(context, level, "%s", message.c_str());
}

}  // namespace

void install_log_redaction() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(redacting_callback); });
}

}  // namespace ffmpeg
}  // namespace media
