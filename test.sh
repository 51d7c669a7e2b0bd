#!/usr/bin/env bash
# Runs every test: the release build with the Windows stubs and the Wine
# tests, then the host code again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")"
./build.sh
ctest --test-dir build --output-on-failure -j2
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON \
  -DCORVANE_STUBS=OFF -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure -j2 -LE wine
