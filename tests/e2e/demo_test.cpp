#include "demo_test.h"

#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "log_lines.h"

namespace media {
namespace e2e {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr std::size_t kTailBytes = 6000;

std::string scratch_base() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

std::string tail(const std::string& text) {
    return text.size() <= kTailBytes ? text : "..." + text.substr(text.size() - kTailBytes);
}

}  // namespace

std::string describe(const DemoOutcome& outcome) {
    std::ostringstream out;
    if (outcome.timed_out) {
        out << "killed at the time limit";
    } else if (outcome.exited) {
        out << "exit status " << outcome.exit_status;
    } else {
        out << "killed by signal " << outcome.term_signal;
    }
    out << " after " << outcome.elapsed.count() << " ms";
    return out.str();
}

void DemoTest::SetUp() {
    std::string pattern = scratch_base() + "/media-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    root_ = pattern;
    workdir_ = root_ + "/work";
    stdout_path_ = root_ + "/stdout.txt";
    stderr_path_ = root_ + "/stderr.txt";
    std::filesystem::create_directory(workdir_);
}

void DemoTest::TearDown() {
    if (process_.spawned() && !process_.finished()) {
        process_.wait(std::chrono::milliseconds(0));
        ADD_FAILURE() << "media_demo was still running at the end of the test and was killed";
    }
    if (HasFailure()) {
        // Kept for a look at the images; the output is shown here as well.
        std::cerr << "scratch directory kept: " << root_ << "\n--- stdout ---\n"
                  << tail(out_text()) << "\n--- stderr ---\n"
                  << tail(err_text()) << "\n";
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void DemoTest::start(const std::vector<std::string>& args) { start_as(MEDIA_DEMO_PATH, args); }

void DemoTest::start_as(const std::string& argv0, const std::vector<std::string>& args) {
    std::vector<std::string> argv{argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    process_.start(MEDIA_DEMO_PATH, argv, workdir_, stdout_path_, stderr_path_);
}

DemoOutcome DemoTest::finish(std::chrono::milliseconds limit) { return process_.wait(limit); }

DemoOutcome DemoTest::run(const std::string& source, std::chrono::milliseconds limit) {
    start({source});
    return finish(limit);
}

bool DemoTest::wait_for_file(const std::string& name, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const std::filesystem::path path = std::filesystem::path(workdir_) / name;
    while (Clock::now() < deadline) {
        if (std::filesystem::exists(path)) return true;
        if (process_.finished()) return std::filesystem::exists(path);
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

bool DemoTest::wait_for_line(const std::string& needle, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (find_line(out_lines(), needle)) return true;
        if (process_.finished()) return find_line(out_lines(), needle).has_value();
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

std::vector<std::string> DemoTest::out_lines() const { return split_lines(out_text()); }
std::string DemoTest::out_text() const { return read_text(stdout_path_); }
std::string DemoTest::err_text() const { return read_text(stderr_path_); }

void DemoTest::expect_complete_run(const DemoOutcome& outcome, const std::vector<PictureSize>& allowed,
                                   std::vector<PictureSize>* seen) {
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 0) << describe(outcome);
    EXPECT_TRUE(holds_exactly_images(workdir_, kImageCount));
    EXPECT_TRUE(images_are_pictures(workdir_, kImageCount, allowed, seen));

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(all_lines_well_formed(lines));
    const auto started = find_line(lines, "[Decoder] initialization successful, start worker");
    const auto worker_done = find_line(lines, "[Decoder] worker thread finished");
    const auto done = find_line(lines, "[Decoder] finished");
    ASSERT_TRUE(started && worker_done && done) << "start and shutdown lines missing";
    EXPECT_LT(*started, *worker_done);
    EXPECT_LT(*worker_done, *done);
    EXPECT_EQ(count_lines(lines, "[Decoder] initialization failed"), 0u);
}

}  // namespace e2e
}  // namespace media
