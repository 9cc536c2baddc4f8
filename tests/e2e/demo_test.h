#pragma once
// The fixture every end-to-end test uses: a fresh scratch directory per test whose `work`
// folder is media_demo's working directory (so it holds nothing but what the program
// writes), the program's output files beside it, and the checks a finished run must pass.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "demo_process.h"
#include "image_dir.h"

namespace media {
namespace e2e {

constexpr int kImageCount = 52;  // 0.jpg ... 51.jpg
constexpr auto kRunLimit = std::chrono::seconds(60);

class DemoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts media_demo with `args`; it sees argv[0] as the path it was started by.
    void start(const std::vector<std::string>& args);
    void start_as(const std::string& argv0, const std::vector<std::string>& args);
    DemoOutcome finish(std::chrono::milliseconds limit = kRunLimit);
    DemoOutcome run(const std::string& source, std::chrono::milliseconds limit = kRunLimit);

    // Poll while the program runs; false when the limit passes or the program exits first.
    bool wait_for_file(const std::string& name, std::chrono::milliseconds limit);
    bool wait_for_line(const std::string& needle, std::chrono::milliseconds limit);

    std::vector<std::string> out_lines() const;
    std::string out_text() const;
    std::string err_text() const;
    const std::string& workdir() const { return workdir_; }
    // The test's own directory, beside the working directory, for helpers' files.
    const std::string& scratch() const { return root_; }
    DemoProcess& process() { return process_; }

    // What every run that reaches its 52nd image must show: exit status 0, exactly the
    // 52 images, each a whole non-blank picture of an allowed size, well-formed lines
    // and the orderly shutdown lines. `seen` receives the size of each image.
    void expect_complete_run(const DemoOutcome& outcome, const std::vector<PictureSize>& allowed,
                             std::vector<PictureSize>* seen = nullptr);

private:
    std::string root_;
    std::string workdir_;
    std::string stdout_path_;
    std::string stderr_path_;
    DemoProcess process_;
};

std::string describe(const DemoOutcome& outcome);

// Whole milliseconds, for assertions whose failure messages should read as numbers.
template <typename Duration>
long long ms(Duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

}  // namespace e2e
}  // namespace media
