#!/usr/bin/env bash
# Builds the tool and the benchmark programs (Release, build-bench), makes
# scratch instances under /var/tmp and prints the benchmark tables. Needs
# root: the runs see a scratch etc/ bound at /etc/kestrane in a private mount
# namespace, so the machine's /etc gains at most the empty mount point
# /etc/kestrane.
#
#   bench/run.sh [-sizes 100000,1000000] [-reps N] [-compare OTHER-BINARY]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTRP_BENCH=ON -DKTRP_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ktrp-bench >/dev/null

# A million upstreams make an rp config of some 450 MB; the driver checks
# that the scratch file system has room for it and its copies.
scratch=$(mktemp -d /var/tmp/ktrp-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/etc"
[ -d /etc/kestrane ] || mkdir -m 0755 /etc/kestrane

echo "machine: $(nproc) CPUs,$(grep -m 1 '^model name' /proc/cpuinfo | cut -d: -f2-)," \
  "$(free -g | awk '/^Mem:/ { print $2 " GiB" }'); scratch on" \
  "$(findmnt -n -o FSTYPE,SOURCE -T "$scratch" | tr -s " ") with $(df -h --output=avail "$scratch" | tail -n 1 | tr -d ' ') free"

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
