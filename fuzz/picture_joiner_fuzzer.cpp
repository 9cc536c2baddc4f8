// libFuzzer entry point: see network_paths.h.
#include <cstddef>
#include <cstdint>

#include "network_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    media::fuzz::join_pictures(data, size);
    return 0;
}
