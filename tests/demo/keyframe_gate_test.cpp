// A decoder that starts in the middle of a group of pictures turns out pictures built on
// references it never saw (HEVC invents grey ones). None of them may become an image;
// every picture from the first keyframe or recovery point on must.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/pipeline/keyframe_gate.h"
#include "media/ffmpeg/decoder.h"
#include "media/ffmpeg/demuxer.h"
#include "server_process.h"

namespace {

struct GatedRun {
    int waiting_lines = 0;
    int decoded = 0;
    int admitted = 0;
    int admitted_before_keyframe = 0;  // in presentation order
    int packets_from_keyframe = 0;     // fed packets presented at or after the first keyframe
    int damage_lines = 0;
    int admitted_while_damaged = 0;    // presented from the damaged picture to the next keyframe
    int packets_after_damage = 0;      // fed packets presented from that keyframe on
    int admitted_after_damage = 0;     // presented from that keyframe on
    int packets_before_last_group = 0; // fed packets presented before the damaged group
    int admitted_before_last_group = 0;
};

// Decodes `file` from its video packet number `first` on, as a connection that joins there;
// the packet numbered `damaged` (if any) arrives flagged corrupt, as one that lost a slice.
GatedRun decode_from(const std::string& file, int first, int damaged = -1) {
    GatedRun run;
    auto demuxer = media::ffmpeg::Demuxer::createShare();
    EXPECT_TRUE(demuxer->open(media::test::test_media_path(file)));
    media::ffmpeg::Decoder decoder(demuxer);
    EXPECT_TRUE(decoder.open());
    media::pipeline::KeyframeGate gate;
    bool keyframe_seen = false;
    int64_t keyframe_pts = AV_NOPTS_VALUE;
    int64_t damage_pts = AV_NOPTS_VALUE;
    int64_t recovered_pts = AV_NOPTS_VALUE;  // the first keyframe after the damage
    int64_t group_pts = AV_NOPTS_VALUE;      // the keyframe before it
    std::vector<int64_t> fed;
    std::vector<int64_t> admitted_pts;

    auto take_pictures = [&] {
        for (auto frame = media::ffmpeg::make_frame(); decoder.receive(frame); frame = media::ffmpeg::make_frame()) {
            ++run.decoded;
            if (!gate.admits(*frame)) continue;
            ++run.admitted;
            if (frame->best_effort_timestamp < keyframe_pts) ++run.admitted_before_keyframe;
            const int64_t t = frame->best_effort_timestamp;
            if (damage_pts != AV_NOPTS_VALUE && t >= damage_pts && (recovered_pts == AV_NOPTS_VALUE || t < recovered_pts)) {
                ++run.admitted_while_damaged;
            }
            if (recovered_pts != AV_NOPTS_VALUE && t >= recovered_pts) ++run.admitted_after_damage;
            admitted_pts.push_back(t);
        }
    };
    int index = 0;
    for (auto packet = media::ffmpeg::make_packet(); demuxer->read_packet(packet) == 0;
         packet = media::ffmpeg::make_packet()) {
        if (packet->stream_index != demuxer->get_video_stream_index() || index++ < first) continue;
        if (index - 1 == damaged) {
            packet->flags |= AV_PKT_FLAG_CORRUPT;
            damage_pts = packet->pts;
            for (const int64_t pts : fed) run.packets_before_last_group += pts < group_pts ? 1 : 0;
            if (gate.note_damage(*packet)) ++run.damage_lines;
        } else if (damage_pts != AV_NOPTS_VALUE && recovered_pts == AV_NOPTS_VALUE && (packet->flags & AV_PKT_FLAG_KEY)) {
            recovered_pts = packet->pts;
        }
        if (recovered_pts != AV_NOPTS_VALUE && packet->pts >= recovered_pts) ++run.packets_after_damage;
        if (damage_pts == AV_NOPTS_VALUE && (packet->flags & AV_PKT_FLAG_KEY)) group_pts = packet->pts;
        fed.push_back(packet->pts);
        if (!keyframe_seen && (packet->flags & AV_PKT_FLAG_KEY)) {
            keyframe_seen = true;
            keyframe_pts = packet->pts;
        }
        if (keyframe_seen && (keyframe_pts == AV_NOPTS_VALUE || packet->pts >= keyframe_pts)) {
            ++run.packets_from_keyframe;
        }
        if (gate.note_packet(*packet)) ++run.waiting_lines;
        decoder.send(packet);
        take_pictures();
    }
    decoder.send(nullptr);
    take_pictures();
    if (damage_pts != AV_NOPTS_VALUE) {
        for (const int64_t pts : admitted_pts) run.admitted_before_last_group += pts < group_pts ? 1 : 0;
    }
    return run;
}

TEST(KeyframeGate, HevcJoinedMidGroup_ImagesOnlyFromTheKeyframeOn) {
    const GatedRun run = decode_from("hevc_gop10.mkv", 3);
    EXPECT_EQ(run.waiting_lines, 1);
    EXPECT_GT(run.decoded, run.admitted) << "the decoder gave no picture before the keyframe: nothing was tried";
    EXPECT_EQ(run.admitted_before_keyframe, 0);
    EXPECT_EQ(run.admitted, run.packets_from_keyframe);
}

// A picture that lost data (HEVC's decoder says nothing of it) and every picture up to
// the next keyframe stay out; all from that keyframe on come in. A damaged keyframe is no
// keyframe: its group waits for the next one.
TEST(KeyframeGate, DataLost_NoImageUntilTheNextKeyframe) {
    for (const int damaged : {11, 16}) {  // in decoding order: a P picture; the keyframe of a group
        SCOPED_TRACE(damaged);
        const GatedRun run = decode_from("hevc_gop10.mkv", 0, damaged);
        EXPECT_EQ(run.damage_lines, 1);
        EXPECT_EQ(run.admitted_while_damaged, 0);
        EXPECT_GT(run.packets_after_damage, 0);
        EXPECT_EQ(run.admitted_after_damage, run.packets_after_damage);
        // Pictures of earlier groups owe the damaged one nothing; those still in the
        // decoder when the damage is seen (its frame threads' delay) may be held back too.
        EXPECT_GT(run.packets_before_last_group, 0);
        EXPECT_GT(2 * run.admitted_before_last_group, run.packets_before_last_group);
    }
}

TEST(KeyframeGate, IntraRefreshWithoutIdr_ImagesFromTheRecoveryPointOn) {
    // Past the stream's one IDR picture: only recovery points remain, every ten pictures.
    const GatedRun run = decode_from("h264_intra_refresh.h264", 1);
    EXPECT_EQ(run.waiting_lines, 1);
    EXPECT_GE(run.admitted, run.packets_from_keyframe - 10) << "more than one refresh period lost";
    EXPECT_LE(run.admitted, run.packets_from_keyframe);
}

// A picture the decoder patched over is the reference of the next ones: they wait for a
// keyframe as a connection's first pictures do.
TEST(KeyframeGate, PictureInError_ClosesTheGateUntilTheNextKeyframe) {
    media::pipeline::KeyframeGate gate;
    auto packet = media::ffmpeg::make_packet();
    packet->flags = AV_PKT_FLAG_KEY;
    EXPECT_FALSE(gate.note_packet(*packet));
    auto picture = media::ffmpeg::make_frame();
    picture->pict_type = AV_PICTURE_TYPE_P;
#ifdef AV_FRAME_FLAG_KEY
    picture->flags &= ~AV_FRAME_FLAG_KEY;
#else
    picture->key_frame = 0;
#endif
    EXPECT_TRUE(gate.admits(*picture));
    picture->decode_error_flags = FF_DECODE_ERROR_CONCEALMENT_ACTIVE;
    EXPECT_FALSE(gate.admits(*picture));
    picture->decode_error_flags = 0;
    EXPECT_FALSE(gate.admits(*picture)) << "predicted from a concealed picture";
    EXPECT_FALSE(gate.note_packet(*packet));
    EXPECT_TRUE(gate.admits(*picture));
}

}  // namespace
