#!/usr/bin/env bash
# Runs every test: the release build with the Windows stubs, the Wine
# tests, the i686 stub on a CPU emulator (where ../shared/i686 exists) and
# end-to-end runs under valgrind; every fuzz target for a bounded time
# (clang, libFuzzer, ASan, UBSan in build-fuzz/; an input that crashes or
# hangs one is copied into tests/fuzz/regressions/ and fails the run;
# longer: tests/fuzz/run.sh 600); then the host code again under
# AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")"
./build.sh
ctest --test-dir build --output-on-failure -j2
tests/fuzz/run.sh 40
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON \
  -DCORVANE_STUBS=OFF -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure -j2 -LE wine
