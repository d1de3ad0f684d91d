#!/bin/sh
# change-upstream -dc-uid UID -alias NEW: the upstream's keys and its select
# entries take the new alias.
#   change-alias.sh UID NEW
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
alias=$(grep -m 1 -F "].dc_uid = $1" "$rp" | sed 's/^rp\.upstreams\[\(.*\)\]\.dc_uid = .*/\1/')
[ -n "$alias" ] || alias=$1
sed -i "s/^rp\.upstreams\[$alias\]\./rp.upstreams[$2]./" "$rp"
sed -i "s/ $alias:/ $2:/g" "$root/conf.d/rp.select"
