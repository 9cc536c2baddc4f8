// Reads the frame number bench/numbered_source.py draws into each picture (see
// frame_code.h). Prints "<file> <number>" per argument, -1 where the picture is damaged
// or foreign.
#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "frame_code.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s image.jpg...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const cv::Mat gray = cv::imread(argv[i], cv::IMREAD_GRAYSCALE);
        std::printf("%s %ld\n", argv[i], frame_code::read_number(gray));
    }
    return 0;
}
