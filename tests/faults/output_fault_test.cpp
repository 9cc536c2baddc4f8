// Images cannot be written: names taken by directories (which stops root as well as
// anyone else), or a directory without write permission. Each failed image gets its
// error line, numbering goes on, the images that could be written are whole pictures,
// no temporary file is left behind and the run still ends with status 0.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "demo_test.h"
#include "log_lines.h"
#include "run_checks.h"
#include "server_process.h"

namespace media {
namespace faults {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

enum class Blocker { FinalNameIsDirectory, ReadOnlyDirectory };

struct OutputCase {
    const char* name;
    Blocker blocker;
    int first_blocked;
    int last_blocked;
};

std::string image_name(int index) { return std::to_string(index) + ".jpg"; }

class UnwritableOutput : public media::e2e::DemoTest, public ::testing::WithParamInterface<OutputCase> {
protected:
    bool blocked(int index) const { return index >= GetParam().first_blocked && index <= GetParam().last_blocked; }

    // What the directory must hold afterwards: the written images and our own blockers.
    std::set<std::string> expected_entries() const {
        std::set<std::string> names;
        for (int i = 0; i < media::e2e::kImageCount; ++i) {
            if (!blocked(i) || GetParam().blocker == Blocker::FinalNameIsDirectory) {
                names.insert(image_name(i));
            }
        }
        return names;
    }
};

TEST_P(UnwritableOutput, WritesFail_RunGoesOnAndEndsWithZero) {
    const OutputCase& c = GetParam();
    if (c.blocker == Blocker::ReadOnlyDirectory && geteuid() == 0) {
        GTEST_SKIP() << "root writes into a directory whatever its permission bits say";
    }
    if (c.blocker == Blocker::FinalNameIsDirectory) {
        for (int i = c.first_blocked; i <= c.last_blocked; ++i) fs::create_directory(workdir() + "/" + image_name(i));
    } else {
        ASSERT_EQ(chmod(workdir().c_str(), 0555), 0);
    }

    const media::e2e::DemoOutcome outcome = run(media::test::test_media_path("h264.mp4"), 60s);
    if (c.blocker == Blocker::ReadOnlyDirectory) chmod(workdir().c_str(), 0755);  // lets TearDown clean up
    EXPECT_TRUE(outcome.exited && outcome.exit_status == 0) << media::e2e::describe(outcome);

    const std::vector<std::string> lines = out_lines();
    EXPECT_TRUE(media::e2e::all_lines_well_formed(lines));
    std::vector<long> expected_failures;
    for (int i = c.first_blocked; i <= c.last_blocked; ++i) expected_failures.push_back(i);
    EXPECT_EQ(failed_image_numbers(lines), expected_failures);
    EXPECT_TRUE(media::e2e::find_line(lines, "[Decoder] finished")) << "no orderly shutdown";

    const std::vector<std::string> entries = media::e2e::directory_entries(workdir());
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), expected_entries())
        << "missing images, or a temporary file left behind";
    for (int i = 0; i < media::e2e::kImageCount; ++i) {
        const std::string path = workdir() + "/" + image_name(i);
        if (blocked(i)) {
            if (fs::is_directory(path)) {
                EXPECT_TRUE(fs::is_empty(path)) << path << " was written into";
            }
            continue;
        }
        const cv::Mat image = cv::imread(path);
        EXPECT_TRUE(image.cols == 320 && image.rows == 240) << path << " is not a whole picture";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnwritableOutput,
    ::testing::Values(OutputCase{"EveryNameIsADirectory", Blocker::FinalNameIsDirectory, 0, 51},
                      OutputCase{"SomeNamesAreDirectories", Blocker::FinalNameIsDirectory, 10, 19},
                      OutputCase{"ReadOnlyDirectory", Blocker::ReadOnlyDirectory, 0, 51}),
    [](const ::testing::TestParamInfo<OutputCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace faults
}  // namespace media
