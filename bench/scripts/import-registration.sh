#!/bin/sh
# import-registration -in DOC: the document's five strings; a DC UID already
# in the rp config is refused, else the upstream's lines are appended.
#   import-registration.sh DOC
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
{ read -r uid; read -r address; read -r stat; read -r secret; read -r digest; } <<EOT
$(awk -v RS=, -F'"' '{ v[$2] = $4 } END { print v["dc-uid"]; print v["address"]; print v["stat"]; print v["secret"]; print v["digest"] }' "$1")
EOT
if grep -q -F "$uid" "$rp"; then
  echo "Registration exists" >&2
  exit 200
fi
printf '\nrp.upstreams[%s].dc_uid = %s\nrp.upstreams[%s].address = %s\nrp.upstreams[%s].stat = %s\nrp.upstreams[%s].secret = %s\nrp.upstreams[%s].cert_digest= %s\n' \
  "$uid" "$uid" "$uid" "$address" "$uid" "$stat" "$uid" "$secret" "$uid" "$digest" >>"$rp"
