#!/usr/bin/env bash
# Fresh machine: install what the build needs, build, and run the tour.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
scripts/demo.sh build/kestrane-truv-rp
