#!/bin/sh
# change-upstream -dc-uid UID -address ADDRESS: the old address line goes,
# the new one is appended.
#   change-address.sh UID ADDRESS
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
alias=$(grep -m 1 -F "].dc_uid = $1" "$rp" | sed 's/^rp\.upstreams\[\(.*\)\]\.dc_uid = .*/\1/')
[ -n "$alias" ] || alias=$1
sed -i "/^rp\.upstreams\[$alias\]\.address =/d" "$rp"
printf 'rp.upstreams[%s].address = %s\n' "$alias" "$2" >>"$rp"
