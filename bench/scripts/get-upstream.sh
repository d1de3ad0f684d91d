#!/bin/sh
# get-upstream -dc-uid UID -j: the upstream's record as a JSON object.
#   get-upstream.sh UID
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
rp=$root/conf.d/rp
alias=$(grep -m 1 -F "].dc_uid = $1" "$rp" | sed 's/^rp\.upstreams\[\(.*\)\]\.dc_uid = .*/\1/')
[ -n "$alias" ] || alias=$1
grep -F "rp.upstreams[$alias]." "$rp" | awk -F' = ' -v a="$alias" '
{ p = $1; sub(/.*\]\./, "", p); v[p] = $2 }
function m(name, value) { return value == "" ? "" : ",\"" name "\":\"" value "\"" }
END {
  r = m("address", v["address"]) m("alias", a) m("digest", v["cert_digest"]) m("redirect", v["redirect"]) \
      m("secret", v["secret"]) m("stat", v["stat"])
  print "{" substr(r, 2) "}"
}'
