#!/bin/sh
# accounts-balancing -weights -j: every name of the select lines with its
# domain weights in line order, and a Default weight 0 for each upstream that
# the default line leaves out, as one JSON object in byte order of names.
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
awk '
function add(name, entry) { if (name in w) w[name] = w[name] ","; w[name] = w[name] entry }
FNR == NR {
  eq = index($0, "="); if (eq == 0) next
  k = substr($0, 1, eq - 1); sub(/ +$/, "", k)
  if (k !~ /rp\.select/) next
  d = "Default"
  if (k ~ /^certs\[.*\]\.rp\.select$/) { d = k; sub(/^certs\[/, "", d); sub(/\]\.rp\.select$/, "", d) } else def = 1
  n = split(substr($0, eq + 1), e, " ")
  for (i = 1; i <= n; i++) {
    c = index(e[i], ":"); if (c == 0) continue
    name = substr(e[i], 1, c - 1); add(name, "{\"" d "\":" (substr(e[i], c + 1) + 0) "}")
    if (d == "Default") hasdef[name] = 1
  }
  next
}
/^rp\.upstreams\[/ {
  a = $0; sub(/^rp\.upstreams\[/, "", a); sub(/\]\.[^]]*$/, "", a); seen[a] = 1
  if ($0 ~ /^rp\.upstreams\[.*\]\.dc_uid = /) { u = $0; sub(/^[^=]*= /, "", u); uid[a] = u }
}
END {
  if (def) for (a in seen) {
    k = (a in uid) ? uid[a] : a
    if (!(k in hasdef)) { add(k, "{\"Default\":0}"); hasdef[k] = 1 }
  }
  for (name in w) print name "\t" w[name]
}' "$root/conf.d/rp.select" "$root/conf.d/rp" | sort |
  awk -F'\t' 'BEGIN { printf "{" } { printf "%s\"%s\":[%s]", (NR > 1 ? "," : ""), $1, $2 } END { print "}" }'
