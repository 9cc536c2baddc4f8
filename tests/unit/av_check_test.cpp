#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "media/ffmpeg/safe_avformat.h"

namespace {

using media::ffmpeg::av_dictionary_set_info;
using media::test::CoutCapture;

// The macro's line is recorded on the same source line as its use.
bool guarded(int code) { AV_CHECK(code); return true; } const int kGuardedLine = __LINE__;

int g_calls = 0;
int counted_call(int code) {
    ++g_calls;
    return code;
}
bool guarded_once(int code) {
    AV_CHECK(counted_call(code));
    return true;
}

bool guarded_twice(int first, int second, int* reached) {
    *reached = 0;
    AV_CHECK(first);
    *reached = 1;
    AV_CHECK(second);
    *reached = 2;
    return true;
}

std::string error_text(int code) {
    char text[1024];
    av_strerror(code, text, sizeof(text));
    return text;
}

TEST(AvCheck_Eagain, ReturnsFalseSilently) {
    CoutCapture out;
    EXPECT_FALSE(guarded(AVERROR(EAGAIN)));
    EXPECT_EQ(out.text(), "");
}

TEST(AvCheck_Eof, ReturnsFalseWithOneErrorLine) {
    CoutCapture out;
    EXPECT_FALSE(guarded(AVERROR_EOF));
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected = "[AV_STRERROR]: " + error_text(AVERROR_EOF) + " " + std::to_string(AVERROR_EOF);
    EXPECT_EQ(expected, "[AV_STRERROR]: End of file -541478725");
    const std::string tail = "]: " + expected;
    EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail) << lines[0];
    EXPECT_NE(lines[0].find("[media][error]["), std::string::npos);
    EXPECT_NE(lines[0].find(std::string(__FILE__) + ":" + std::to_string(kGuardedLine) + "]"), std::string::npos)
        << lines[0];
}

TEST(AvCheck_OtherErrors, EachLogsItsOwnText) {
    for (const int code : {AVERROR(ENOENT), AVERROR(EINVAL), AVERROR_INVALIDDATA, -1}) {
        CoutCapture out;
        EXPECT_FALSE(guarded(code));
        ASSERT_EQ(out.lines().size(), 1u);
        EXPECT_EQ(out.count("[AV_STRERROR]: " + error_text(code) + " " + std::to_string(code)), 1u) << out.text();
    }
}

TEST(AvCheck_NonNegative, ContinuesSilently) {
    CoutCapture out;
    EXPECT_TRUE(guarded(0));
    EXPECT_TRUE(guarded(1));
    EXPECT_TRUE(guarded(12345));
    EXPECT_EQ(out.text(), "");
}

TEST(AvCheck_Expression, IsEvaluatedOnce) {
    CoutCapture out;
    g_calls = 0;
    EXPECT_FALSE(guarded_once(AVERROR_EOF));
    EXPECT_EQ(g_calls, 1);
    g_calls = 0;
    EXPECT_TRUE(guarded_once(5));
    EXPECT_EQ(g_calls, 1);
}

TEST(AvCheck_TwoUses, EachGuardsItsOwnCall) {
    CoutCapture out;
    int reached = -1;
    EXPECT_TRUE(guarded_twice(0, 3, &reached));
    EXPECT_EQ(reached, 2);
    EXPECT_FALSE(guarded_twice(0, AVERROR(EAGAIN), &reached));
    EXPECT_EQ(reached, 1);
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(guarded_twice(AVERROR_EOF, 0, &reached));
    EXPECT_EQ(reached, 0);
    EXPECT_EQ(out.count("[AV_STRERROR]"), 1u);
}

std::vector<std::pair<std::string, std::string>> entries_of(const AVDictionary* dictionary) {
    std::vector<std::pair<std::string, std::string>> result;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        result.emplace_back(entry->key, entry->value);
    }
    return result;
}

TEST(OptionTable_Default, AddsNothing) {
    const av_dictionary_set_info info;
    AVDictionary* dictionary = nullptr;
    media::ffmpeg::apply_dictionary_info(info, &dictionary);
    EXPECT_EQ(av_dict_count(dictionary), 0);
    av_dict_free(&dictionary);

    using Key = const char* av_dictionary_set_info::*;
    for (const Key key : {&av_dictionary_set_info::preset, &av_dictionary_set_info::max_delay,
                          &av_dictionary_set_info::tune, &av_dictionary_set_info::crf,
                          &av_dictionary_set_info::profile, &av_dictionary_set_info::level,
                          &av_dictionary_set_info::rtsp_transport, &av_dictionary_set_info::stimeout,
                          &av_dictionary_set_info::buffer_size, &av_dictionary_set_info::timeout}) {
        EXPECT_EQ(info.*key, nullptr);
    }
}

TEST(OptionTable_Filled, AddsEveryKeyInFixedOrder) {
    av_dictionary_set_info info;
    info.buffer_size = "v-buffer_size";
    info.timeout = "v-timeout";
    info.stimeout = "v-stimeout";
    info.rtsp_transport = "v-rtsp_transport";
    info.level = "v-level";
    info.profile = "v-profile";
    info.crf = "v-crf";
    info.tune = "v-tune";
    info.max_delay = "v-max_delay";
    info.preset = "v-preset";
    AVDictionary* dictionary = nullptr;
    media::ffmpeg::apply_dictionary_info(info, &dictionary);
    std::vector<std::pair<std::string, std::string>> expected;
    for (const char* key : {"preset", "max_delay", "tune", "crf", "profile", "level", "rtsp_transport",
                            "stimeout", "timeout", "buffer_size"}) {
        expected.emplace_back(key, std::string("v-") + key);
    }
    EXPECT_EQ(entries_of(dictionary), expected);
    av_dict_free(&dictionary);
}

TEST(OptionTable_Partial, AddsOnlyNonNullKeys) {
    av_dictionary_set_info info;
    info.preset = info.av_dict_set_preset.ultrafast;
    info.rtsp_transport = info.av_dict_set_rtsp_transport.tcp;
    info.buffer_size = "102400";
    AVDictionary* dictionary = nullptr;
    media::ffmpeg::apply_dictionary_info(info, &dictionary);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"preset", "ultrafast"}, {"rtsp_transport", "tcp"}, {"buffer_size", "102400"}};
    EXPECT_EQ(entries_of(dictionary), expected);
    av_dict_free(&dictionary);
}

// Each nested table holds only const char* members; the count guards against a lost or extra entry.
template <typename Table>
constexpr std::size_t members_of() {
    return sizeof(Table) / sizeof(const char*);
}

template <typename Table>
void expect_values(const std::vector<std::pair<const char* Table::*, const char*>>& expected) {
    const Table table;
    EXPECT_EQ(members_of<Table>(), expected.size());
    for (const auto& [member, text] : expected) {
        ASSERT_NE(table.*member, nullptr);
        EXPECT_STREQ(table.*member, text);
    }
}

TEST(OptionTable_Nested, ValuesNameTheirMembers) {
    using Info = av_dictionary_set_info;
    using Preset = decltype(Info::av_dict_set_preset);
    expect_values<Preset>({{&Preset::ultrafast, "ultrafast"}, {&Preset::superfast, "superfast"},
                           {&Preset::veryfast, "veryfast"}, {&Preset::faster, "faster"}, {&Preset::fast, "fast"},
                           {&Preset::medium, "medium"}, {&Preset::slow, "slow"}, {&Preset::slower, "slower"},
                           {&Preset::veryslow, "veryslow"}, {&Preset::placebo, "placebo"}});
    using Tune = decltype(Info::av_dict_set_tune);
    expect_values<Tune>({{&Tune::film, "film"}, {&Tune::animation, "animation"}, {&Tune::grain, "grain"},
                         {&Tune::stillimage, "stillimage"}, {&Tune::psnr, "psnr"}, {&Tune::ssim, "ssim"},
                         {&Tune::fastdecode, "fastdecode"}, {&Tune::zerolatency, "zerolatency"}});
    using Profile = decltype(Info::av_dict_set_profile);
    expect_values<Profile>({{&Profile::baseline, "baseline"}, {&Profile::extended, "extended"},
                            {&Profile::main, "main"}, {&Profile::high, "high"}});
    using Level = decltype(Info::av_dict_set_level);
    expect_values<Level>({{&Level::level1_0, "1.0"}, {&Level::level1_1, "1.1"}, {&Level::level1_2, "1.2"},
                          {&Level::level1_3, "1.3"}, {&Level::level2_0, "2.0"}, {&Level::level2_1, "2.1"},
                          {&Level::level2_2, "2.2"}, {&Level::level3_0, "3.0"}, {&Level::level3_1, "3.1"},
                          {&Level::level3_2, "3.2"}, {&Level::level4_0, "4.0"}, {&Level::level4_1, "4.1"},
                          {&Level::level4_2, "4.2"}, {&Level::level5_0, "5.0"}, {&Level::level5_1, "5.1"}});
    using Transport = decltype(Info::av_dict_set_rtsp_transport);
    expect_values<Transport>({{&Transport::udp, "udp"}, {&Transport::tcp, "tcp"}, {&Transport::rtp, "rtp"}});
}

TEST(OptionTable_Layout, HoldsTenKeysAndFiveTables) {
    using Info = av_dictionary_set_info;
    const std::size_t nested = sizeof(Info::av_dict_set_preset) + sizeof(Info::av_dict_set_tune) +
                               sizeof(Info::av_dict_set_profile) + sizeof(Info::av_dict_set_level) +
                               sizeof(Info::av_dict_set_rtsp_transport);
    EXPECT_EQ(sizeof(Info), 10 * sizeof(const char*) + nested);
    EXPECT_EQ(nested, (10u + 8u + 4u + 15u + 3u) * sizeof(const char*));
}

}  // namespace
