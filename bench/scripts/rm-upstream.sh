#!/bin/sh
# rm-upstream -dc-uid UID: the name leaves every select line, then the
# upstream's lines leave the rp config.
#   rm-upstream.sh UID
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
alias=$(grep -m 1 -F "].dc_uid = $1" "$rp" | sed 's/^rp\.upstreams\[\(.*\)\]\.dc_uid = .*/\1/')
[ -n "$alias" ] || alias=$1
sed -i "/rp\.select *=/s/ $alias:[0-9]*\( \|\$\)/\1/g" "$root/conf.d/rp.select"
sed -i "/^rp\.upstreams\[$alias\]\./d" "$rp"
