#!/bin/sh
# Installs what is needed, builds media_demo and runs it on a generated sample video.
# The images appear in ./out (0.jpg ... 51.jpg).
# It builds in build-demo/, a tree of its own without the tests: sharing build/ with
# scripts/test.sh would leave whichever ran second with the other's configuration.
set -eu
cd "$(dirname "$0")/.."

build="build-demo"
./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build "$build" -j"$(nproc)" --target media_demo
./tests/media/make_media.sh "$build/test-media" >/dev/null

mkdir -p out
cd out
timeout -k 10 120 "../$build/demo/media_demo" "../$build/test-media/h264.mp4"
echo "media_demo wrote $(ls [0-9]*.jpg | wc -l) images into $(pwd)"
