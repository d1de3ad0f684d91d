#!/bin/sh
# upstream-uids -j: the DC UID of each upstream (its alias when it has no
# dc_uid line) as a JSON array, in the order the upstreams first appear.
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
awk -F' = ' '
/^rp\.upstreams\[/ {
  a = $1; sub(/^rp\.upstreams\[/, "", a); p = a; sub(/\]\.[^]]*$/, "", a); sub(/.*\]\./, "", p)
  if (!(a in seen)) { seen[a] = 1; order[++n] = a }
  if (p == "dc_uid") uid[a] = $2
}
END {
  printf "["
  for (i = 1; i <= n; i++) printf "%s\"%s\"", (i > 1 ? "," : ""), (order[i] in uid) ? uid[order[i]] : order[i]
  print "]"
}' "$root/conf.d/rp"
