#!/usr/bin/env bash
# Checks what `cmake --install` puts in place, into a scratch DESTDIR with the
# prefix /usr/local: by default the tool alone, in bin; with
# -DKTRP_INSTALL_QEL_IO_STANDIN=ON also the stand-in library (its file and its
# soname link) in the library directory. The installed tool must carry no
# RPATH or RUNPATH, so that it finds libqel_io.so.9 on the system's library
# path rather than in a build tree.
#   scripts/check-install.sh [BUILD_DIR]
# The build directory given (default: build) is installed as it is configured;
# the other setting of the option is checked in a scratch build of the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build}")
scratch=$(mktemp -d /tmp/ktrp-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

# check BUILD STANDIN(ON|OFF)
check() {
  local tree=$1 standin=$2 dest="$scratch/dest-$2"
  DESTDIR="$dest" cmake --install "$tree" --prefix /usr/local >/dev/null
  local landed
  landed=$(cd "$dest" && find . ! -type d | sed 's|^\./||' | sort)
  local want="usr/local/bin/kestrane-truv-rp"
  if [ "$standin" = ON ]; then
    local libdir
    libdir=$(dirname "$(cd "$dest" && find . -name 'libqel_io.so.9' | sed 's|^\./||')")
    case $libdir in usr/local/lib*) ;; *) fail "option ON: no libqel_io.so.9 under usr/local/lib*:"$'\n'"$landed" ;; esac
    want=$(printf '%s\n' "$want" "$libdir/libqel_io.so.9" "$libdir/libqel_io.so.9.0.0" | sort)
    [ "$(readlink "$dest/$libdir/libqel_io.so.9")" = libqel_io.so.9.0.0 ] ||
      fail "option ON: libqel_io.so.9 is not the link to libqel_io.so.9.0.0"
  fi
  [ "$landed" = "$want" ] || fail "option $standin: installed"$'\n'"$landed"$'\n'"expected"$'\n'"$want"

  local bin="$dest/usr/local/bin/kestrane-truv-rp" dyn
  [ -x "$bin" ] || fail "option $standin: the tool is not executable"
  dyn=$(readelf -d "$bin")
  grep -q 'NEEDED.*\[libqel_io\.so\.9\]' <<<"$dyn" || fail "option $standin: the tool does not need libqel_io.so.9"
  ! grep -qE 'RPATH|RUNPATH' <<<"$dyn" || fail "option $standin: the installed tool keeps a search path:"$'\n'"$(grep -E 'RPATH|RUNPATH' <<<"$dyn")"

  # Given the library on the library path, the installed tool runs: without
  # a command word it prints the usage text and ends with status 10.
  local libpath status=0
  if [ "$standin" = ON ]; then libpath="$dest/$libdir"; else libpath=$(dirname "$(find "$tree" -maxdepth 1 -name 'libqel_io.so.9')"); fi
  LD_LIBRARY_PATH="$libpath" "$bin" >"$scratch/out" 2>&1 || status=$?
  [ "$status" -eq 10 ] && head -n1 "$scratch/out" | grep -qx 'TRUV rp config management tool.' ||
    fail "option $standin: the installed tool did not run (status $status): $(head -c 300 "$scratch/out")"
}

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build directory"
given=$(sed -n 's/^KTRP_INSTALL_QEL_IO_STANDIN:BOOL=//p' "$build/CMakeCache.txt")
case ${given^^} in ON | TRUE | 1 | YES) given=ON ;; *) given=OFF ;; esac
check "$build" "$given"

other=ON
[ "$given" = OFF ] || other=OFF
cmake -S "$src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTRP_TESTS=OFF \
  -DKTRP_INSTALL_QEL_IO_STANDIN="$other" >/dev/null
cmake --build "$scratch/build" -j"$(nproc)" --target kestrane-truv-rp >/dev/null
check "$scratch/build" "$other"
echo "check-install: OFF installs the tool alone, ON adds libqel_io.so.9; no RPATH in the installed tool"
