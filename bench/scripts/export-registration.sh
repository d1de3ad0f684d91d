#!/bin/sh
# export-registration: the registration's address and digest, the instance's
# DC UID and cluster secret and the stat endpoint as one JSON object.
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
d=$(find "$root" -type d -name 'certs*' | head -n 1)
awk -F' *= *' '
$1 == "truv-address" { a = $2 }
$1 == "digest.sha256" { d = $2 }
$1 == "dc_uid" { u = $2 }
$1 == "cluster.secret" { s = $2 }
$1 == "stat.prometheus.listen_addr" { p = $2; sub(/.*:/, "", p) }
END {
  h = a; sub(/:[^:]*$/, "", h)
  printf "{\"address\":\"%s\",\"dc-uid\":\"%s\",\"digest\":\"%s\",\"secret\":\"%s\",\"stat\":\"%s:%s\"}", a, u, d, s, h, p
}' "$d/.truv.registration-info" "$d/truv.pem.info" "$root/conf.d/dc_uid" "$root/conf.d/cluster.secret" \
  /etc/kestrane/truv.config
