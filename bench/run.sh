#!/usr/bin/env bash
# Builds the tool and the benchmark programs (Release, build-bench), makes
# scratch instances and prints the benchmark table. Needs root: the runs see
# a scratch etc/ bound at /etc/kestrane in a private mount namespace, so the
# machine's /etc gains at most the empty mount point /etc/kestrane.
#
#   bench/run.sh [-sizes 1000,10000,100000] [-reps N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTRP_BENCH=ON -DKTRP_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ktrp-bench >/dev/null

scratch=$(mktemp -d /var/tmp/ktrp-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/etc"
[ -d /etc/kestrane ] || mkdir -m 0755 /etc/kestrane

status=0
unshare --mount -- /bin/sh -c '
  set -e
  mount --make-rprivate /
  mount --bind "$1/etc" /etc/kestrane
  scratch=$1
  shift
  exec "$0" -scratch "$scratch" "$@"
' "$PWD/$build/bench/ktrp-bench" "$scratch" "$@" || status=$?
exit "$status"
