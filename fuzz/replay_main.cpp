// Replays saved inputs through a fuzzed path without libFuzzer, so any compiler's build
// (and its sanitizers) checks them: each file named, and the files of each folder named.
// --path picks the path: decode (the default: demuxer, decoder, converter), pictures (the
// picture joiner) or interleaved (the interleaved-frame locator). A crash ends the
// process; --expect-images also fails a decode input that yields no image, which shows
// the path really reaches the decoder and the converter.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode_path.h"
#include "network_paths.h"

namespace {

namespace fs = std::filesystem;

// Notes kept beside the inputs are not inputs.
bool is_input(const fs::path& path) {
    const std::string name = path.filename().string();
    return fs::is_regular_file(path) && !name.empty() && name[0] != '.' && path.extension() != ".md";
}

std::vector<fs::path> collect(const std::vector<std::string>& args) {
    std::vector<fs::path> inputs;
    for (const std::string& arg : args) {
        if (fs::is_directory(arg)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(arg)) {
                if (is_input(entry.path())) inputs.push_back(entry.path());
            }
        } else {
            inputs.emplace_back(arg);
        }
    }
    return inputs;
}

}  // namespace

int main(int argc, char* argv[]) {
    bool expect_images = false;
    std::string path_name = "decode";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--expect-images") {
            expect_images = true;
        } else if (arg == "--path" && i + 1 < argc) {
            path_name = argv[++i];
        } else {
            args.push_back(arg);
        }
    }
    const std::vector<fs::path> inputs = collect(args);
    if (inputs.empty() || (path_name != "decode" && path_name != "pictures" && path_name != "interleaved")) {
        std::fprintf(stderr, "usage: %s [--path decode|pictures|interleaved] [--expect-images] <file|folder>...\n",
                     argv[0]);
        return 2;
    }
    media::fuzz::silence_logging();
    int failures = 0;
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot read\n", path.c_str());
            ++failures;
            continue;
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (path_name != "decode") {
            const int found = path_name == "pictures" ? media::fuzz::join_pictures(bytes.data(), bytes.size())
                                                      : media::fuzz::locate_frames(bytes.data(), bytes.size());
            std::fprintf(stderr, "%s: %zu bytes, %s %d\n", path.c_str(), bytes.size(),
                         path_name == "pictures" ? "pictures" : "found", found);
            continue;
        }
        const media::fuzz::DecodePathStats stats = media::fuzz::run_decode_path(bytes.data(), bytes.size());
        std::fprintf(stderr, "%s: %zu bytes, opened %d, packets %d, pictures %d, images %d\n", path.c_str(),
                     bytes.size(), stats.opened ? 1 : 0, stats.packets, stats.pictures, stats.images);
        if (expect_images && stats.images == 0) {
            std::fprintf(stderr, "%s: no image came out\n", path.c_str());
            ++failures;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed, %d failed\n", inputs.size(), failures);
    return failures == 0 ? 0 : 1;
}
