// libFuzzer entry point: arbitrary bytes through the demuxer, decoder and BGR converter.
#include <cstddef>
#include <cstdint>

#include "decode_path.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    media::fuzz::silence_logging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    media::fuzz::run_decode_path(data, size);
    return 0;
}
