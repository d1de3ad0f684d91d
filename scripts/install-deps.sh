#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  ca-certificates cmake make g++ pkg-config \
  libre2-dev nlohmann-json3-dev uuid-dev \
  libgtest-dev \
  clang libclang-rt-dev util-linux binutils strace
