// Preloaded by scripts/valgrind.sh only, on CPUs without RDTSCP: valgrind's virtual CPU
// still announces the instruction, and libhwy's load-time timer calibration would die of
// SIGILL on it. The calibration's result only scales libhwy's own benchmarks, which
// nothing here runs, so one tick is as good an answer as any.
#include <cstdint>

namespace hwy {
namespace platform {

uint64_t TimerResolution() { return 1; }

}  // namespace platform
}  // namespace hwy
