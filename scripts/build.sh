#!/usr/bin/env bash
# Configures and builds into the directory given (default: build).
# Extra arguments go to cmake's configure step, e.g. -DKTRP_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
