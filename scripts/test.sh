#!/bin/sh
# Installs what is needed, then builds and runs the whole test suite twice: a normal
# build, and one under AddressSanitizer with UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

run_suite() {
  dir=$1
  shift
  echo "== $dir: $*"
  # Testing is switched on explicitly: a tree configured without it by hand keeps that
  # in its cache, and a suite that finds no test must fail rather than pass.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "$@"
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --no-tests=error --output-on-failure -j2 --timeout 300)
}

run_suite build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DMEDIA_SANITIZE=ON
if [ -x scripts/test-extra.sh ]; then
  ./scripts/test-extra.sh
fi
echo "== all tests passed"
