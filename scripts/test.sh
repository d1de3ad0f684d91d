#!/usr/bin/env bash
# Builds (when needed) and runs every test. The end-to-end tests need root:
# each run of the binary gets a private mount namespace with a scratch
# instance bound at /etc/kestrane.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
scripts/build.sh "$dir"
cd "$dir"
ctest --output-on-failure -j"$(( $(nproc) * 2 ))" --timeout 300
