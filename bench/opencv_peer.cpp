// The OpenCV way to do media_demo's job, as a user would write it: open the source with
// cv::VideoCapture, write the first 52 pictures with cv::imwrite (JPEG quality 95, the
// default) as 0.jpg ... 51.jpg in the current directory. The benchmark runs it beside
// media_demo on the same sources; RTSP over TCP comes from the environment
// (OPENCV_FFMPEG_CAPTURE_OPTIONS="rtsp_transport;tcp").
#include <cstdio>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <url>\n", argv[0]);
        return 2;
    }
    cv::VideoCapture capture(argv[1], cv::CAP_FFMPEG);
    if (!capture.isOpened()) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    cv::Mat picture;
    for (int index = 0; index < 52; ++index) {
        if (!capture.read(picture)) {
            std::fprintf(stderr, "source ended after %d pictures\n", index);
            return 1;
        }
        cv::imwrite(std::to_string(index) + ".jpg", picture);
    }
    return 0;
}
