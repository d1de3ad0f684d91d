#!/bin/sh
# add-upstream: refuse an alias the rp config has, else append the block.
#   add-upstream.sh UID ALIAS ADDRESS SECRET DIGEST STAT
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
if grep -q -F "rp.upstreams[$2]." "$rp"; then
  echo "Upstream \"$2\" already exists" >&2
  exit 200
fi
printf 'rp.upstreams[%s].dc_uid = %s\nrp.upstreams[%s].address = %s\nrp.upstreams[%s].secret = %s\nrp.upstreams[%s].cert_digest = %s\nrp.upstreams[%s].stat = %s\n' \
  "$2" "$1" "$2" "$3" "$2" "$4" "$2" "$5" "$2" "$6" >>"$rp"
