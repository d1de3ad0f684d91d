#!/usr/bin/env bash
# Checks the library search paths of every ELF file a build made: an empty
# entry in an RPATH or RUNPATH means the current directory, and a relative one
# a directory below it, so a root run from a directory someone else can write
# could load that someone's libuuid.so.1. Also checks that the build tree's
# tool still finds the stand-in library, from a directory unrelated to the
# build, without LD_LIBRARY_PATH.
#   scripts/check-runpath.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
fail() { echo "check-runpath: $*" >&2; exit 1; }

checked=0
while IFS= read -r -d '' f; do
  # Only ELF files: the magic number \177ELF.
  [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  checked=$((checked + 1))
  while IFS= read -r paths; do
    IFS=: read -r -a entries <<<"$paths"
    # A trailing ":" leaves no last field for read: count the separators.
    seps=${paths//[^:]/}
    [ "${#entries[@]}" -eq $((${#seps} + 1)) ] || fail "$f: empty entry in [$paths]"
    for e in "${entries[@]}"; do
      case $e in
        /*) ;;
        '') fail "$f: empty entry in [$paths]" ;;
        *) fail "$f: relative entry '$e' in [$paths]" ;;
      esac
    done
  done < <(readelf -d "$f" 2>/dev/null | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
done < <(find "$build" -type f -perm -u+x ! -name '*.sh' -print0; find "$build" -type f -name '*.so*' -print0)
[ "$checked" -gt 0 ] || fail "no ELF file under $build"

tool="$build/kestrane-truv-rp"
if [ -x "$tool" ]; then
  status=0
  out=$(cd / && env -u LD_LIBRARY_PATH "$tool" 2>&1) || status=$?
  [ "$status" -eq 10 ] && [ "${out%%$'\n'*}" = 'TRUV rp config management tool.' ] ||
    fail "the build tree's tool did not run from / (status $status): ${out:0:300}"
fi
echo "check-runpath: $checked ELF files, no empty or relative search path entry"
