#pragma once

#include <atomic>

// The one flag the main thread, the worker and the SIGINT handler share: true from
// program load until SIGINT or the stream's Stop clears it.
extern std::atomic<bool> running;
