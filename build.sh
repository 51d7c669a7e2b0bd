#!/usr/bin/env bash
# Builds everything into build/: the host tool (build/host/corvane-sfx), the
# tests, and the Windows stubs (build/win32, build/win64). Installs nothing.
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build -j"$(nproc)"
