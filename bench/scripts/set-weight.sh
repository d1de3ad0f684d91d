#!/bin/sh
# accounts-balancing -set-weight-for-name NAME WEIGHT: NAME must have an
# address; its entry leaves the default line and comes back at its end.
#   set-weight.sh NAME WEIGHT
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
if ! grep -q -F "rp.upstreams[$1].address =" "$rp"; then
  echo "Failed to find name $1 in rp config $rp" >&2
  exit 100
fi
sed -i "/^rp\.select *=/{s/ $1:[0-9]*\( \|\$\)/\1/;s/\$/ $1:$2/}" "$root/conf.d/rp.select"
