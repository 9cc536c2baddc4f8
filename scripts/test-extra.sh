#!/bin/bash
# The reliability checks CI runs after scripts/test.sh (which calls this script):
#   1. aarch64: the cross build, its unit tests and media_demo under qemu
#   2. ThreadSanitizer: the end-to-end, fault and camera reader tests against a -DMEDIA_TSAN=ON build
#   3. valgrind memcheck: whole media_demo runs, no leak and no memory error
#   4. soak: one process through 100 reconnections, memory and descriptors flat
#   5. fuzzing: 60 s of libFuzzer on the demuxer -> decoder -> scaler path, and 30 s on
#      each of the program's own parsers of network bytes (picture joiner, interleaved
#      frames)
# Every step runs; the script exits non-zero when any failed. About 25 to 35 minutes
# on two cores. docs/reliability.md explains each step and its long forms.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

./scripts/install-deps.sh

failed=()
step() {
  local name=$1
  shift
  echo "== test-extra: $name"
  local started=$SECONDS
  if "$@"; then
    echo "== test-extra: $name passed ($((SECONDS - started)) s)"
  else
    echo "== test-extra: $name FAILED ($((SECONDS - started)) s)" >&2
    failed+=("$name")
  fi
}

tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DMEDIA_TSAN=ON &&
    cmake --build build-tsan -j2 --target media_demo media_e2e_tests media_fault_tests media_reader_tests &&
    (cd build-tsan &&
      TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$root/tests/sanitizers/tsan.supp" \
        ctest --no-tests=error --output-on-failure -j2 --timeout 400 -L 'e2e|faults|reader')
}

# valgrind and the soak want the plain build scripts/test.sh made (configured if absent,
# or if configured without the tests, which own the test_media target).
plain_build() {
  if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON || return 1
  elif ! grep -q '^BUILD_TESTING:BOOL=ON$' build/CMakeCache.txt; then
    cmake -S . -B build -DBUILD_TESTING=ON || return 1
  fi
  cmake --build build -j2 --target media_demo test_media
}

# One libFuzzer run on a fresh copy of its seeds (a run adds the inputs it finds
# interesting to its corpus); crashing inputs land in build-fuzz/artifacts/<name>/.
run_fuzzer() {
  local name=$1 seconds=$2 max_len=$3
  shift 3
  local corpus=build-fuzz/corpus-$name artifacts=$root/build-fuzz/artifacts/$name
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  "$@" "$corpus" || return 1
  local status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    timeout -k 10 $((seconds + 240)) "build-fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
    >"build-fuzz/$name.log" 2>&1 || status=$?
  echo "$name:"
  grep -E '^(stat::|#[0-9]+ *DONE)' "build-fuzz/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 80 "build-fuzz/$name.log" >&2
    echo "fuzz: crashing inputs kept in $artifacts; add each to fuzz/regressions after the fix" >&2
    return 1
  fi
}

copy_seeds() { cp -f "$root/fuzz/seeds/$1"/* "$2"/; }

# The aarch64 build against a Debian 11 arm64 sysroot, its in-process unit tests and a
# media_demo run under qemu: the board's architecture, whose libraries' SIMD code differs.
# The script installs its own tools; from a clean clone it fetches the sysroot and builds
# everything, 9 to 15 minutes on two cores. The bound leaves it three times that.
aarch64() {
  timeout -k 30 2700 scripts/cross-aarch64.sh
}

fuzz() {
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DMEDIA_FUZZ=ON -DMEDIA_SANITIZE=ON &&
    cmake --build build-fuzz -j2 --target media_fuzzer picture_joiner_fuzzer interleaved_header_fuzzer || return 1
  local failed=0
  run_fuzzer media_fuzzer 60 65536 fuzz/make_corpus.sh build/test-media || failed=1
  run_fuzzer picture_joiner_fuzzer 30 65536 copy_seeds pictures || failed=1
  run_fuzzer interleaved_header_fuzzer 30 1024 copy_seeds interleaved || failed=1
  return "$failed"
}

step "aarch64 (cross build, unit tests and media_demo under qemu)" aarch64
step "ThreadSanitizer (e2e, fault and camera reader tests)" tsan
step "plain build for valgrind and soak" plain_build
step "valgrind" scripts/valgrind.sh --build build
step "soak" scripts/soak.sh --reconnections 100 --build build
step "fuzzing" fuzz

if [ "${#failed[@]}" -ne 0 ]; then
  printf '== test-extra: failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "== test-extra: all passed"
