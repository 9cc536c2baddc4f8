#pragma once
// Keeps pictures decoded without their references from becoming images. A connection
// can begin in the middle of a group of pictures (a camera joined while it streams to
// someone else, a probe that read past the keyframe); the pictures before the first
// keyframe or recovery point are decoded against references the decoder never saw, and
// some decoders (HEVC) then invent grey ones rather than say so.

#include <cstdint>

#include "media/ffmpeg/av.h"

namespace media {
namespace pipeline {

// A keyframe, or a picture made of intra slices only: whole by itself.
bool starts_anew(const AVFrame& frame);

class KeyframeGate {
public:
    // A new connection: nothing is trusted until its first keyframe.
    void reset();

    // Notes a packet of the video stream before it is decoded. True exactly once per
    // connection: for the first packet that arrives while no keyframe has been seen. A
    // packet flagged corrupt (part of its picture was lost) closes the gate as
    // note_damage does, and is no keyframe even if it says so.
    bool note_packet(const AVPacket& packet);

    // The packet's picture is damaged (data lost, or refused by the decoder): the pictures
    // predicted from it are no better, so nothing at or before it, and nothing after it
    // until the next keyframe or intra picture, becomes an image. True when this closes a
    // gate that was open or about to open.
    bool note_damage(const AVPacket& packet);

    // Whether a decoded picture may become an image: it is not flagged corrupt or in
    // error, and it is a keyframe or an intra picture, or comes, in presentation order, at
    // or after the first keyframe of the connection. A picture in error closes the gate
    // again until the next keyframe: the pictures after it are predicted from it.
    bool admits(const AVFrame& frame);

private:
    bool keyframe_seen_ = false;
    bool waiting_reported_ = false;
    bool open_ = false;
    int64_t keyframe_time_ = AV_NOPTS_VALUE;
    bool damaged_ = false;
    int64_t damage_time_ = AV_NOPTS_VALUE;
};

}  // namespace pipeline
}  // namespace media
