#include "running.h"

static_assert(std::atomic<bool>::is_always_lock_free, "running is stored from a signal handler");

std::atomic<bool> running{true};
