#pragma once
// When a reader of a stream gives its connection up and how often it tries again: the
// demo and the camera reader follow the same policy.

#include <chrono>

namespace media {
namespace pipeline {

// A read fails when the source ends, errs or stays silent for the watchdog's two seconds;
// the 21st failure in a row drops the whole chain and builds it anew.
constexpr int kFailuresBeforeReconnect = 20;
// Between two tries to build it while the source is away.
constexpr auto kReconnectPause = std::chrono::milliseconds(1000);

}  // namespace pipeline
}  // namespace media
