#include "media/common/redact_url.h"

namespace media {
namespace common {

std::string redact_url(const std::string& url) {
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) {
        return url;
    }
    const std::size_t authority_begin = scheme_end + 3;
    std::size_t authority_end = url.find_first_of("/?#", authority_begin);
    if (authority_end == std::string::npos) {
        authority_end = url.size();
    }
    // The last '@' ends the user information: a password may itself carry an unescaped '@'.
    const std::size_t at = url.rfind('@', authority_end == 0 ? 0 : authority_end - 1);
    if (at == std::string::npos || at < authority_begin) {
        return url;
    }
    const std::size_t colon = url.find(':', authority_begin);
    if (colon == std::string::npos || colon > at) {
        return url;
    }
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::string redact_urls_in_text(const std::string& text) {
    std::string redacted;
    std::size_t copied = 0;
    std::size_t scheme_end = text.find("://");
    while (scheme_end != std::string::npos) {
        const std::size_t authority_begin = scheme_end + 3;
        std::size_t authority_end = text.find_first_of("/?#'\" \t\r\n", authority_begin);
        if (authority_end == std::string::npos) {
            authority_end = text.size();
        }
        std::size_t resume = authority_begin;
        // As in redact_url: the last '@' of the authority ends the user information.
        const std::size_t at = authority_end > authority_begin ? text.rfind('@', authority_end - 1) : std::string::npos;
        if (at != std::string::npos && at >= authority_begin) {
            const std::size_t colon = text.find(':', authority_begin);
            if (colon < at) {
                redacted.append(text, copied, colon + 1 - copied).append("***");
                copied = at;
            }
            resume = at;
        }
        scheme_end = text.find("://", resume);
    }
    redacted.append(text, copied, std::string::npos);
    return redacted;
}

}  // namespace common
}  // namespace media
