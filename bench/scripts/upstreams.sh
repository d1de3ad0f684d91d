#!/bin/sh
# upstreams: every upstream as one JSON object keyed by its DC UID (the alias
# when it has no dc_uid line), keys and members in byte order.
set -e
root=$(sed -n 's/^root_dir *= *//p' /etc/kestrane/truv.config)
awk -F' = ' '
/^rp\.upstreams\[/ {
  a = $1; sub(/^rp\.upstreams\[/, "", a); p = a; sub(/\]\.[^]]*$/, "", a); sub(/.*\]\./, "", p)
  seen[a] = 1
  if (p == "dc_uid") uid[a] = $2; else v[a, p] = $2
}
function m(name, value) { return value == "" ? "" : ",\"" name "\":\"" value "\"" }
END {
  for (a in seen) {
    r = m("address", v[a, "address"]) m("alias", a) m("digest", v[a, "cert_digest"]) \
        m("redirect", v[a, "redirect"]) m("secret", v[a, "secret"]) m("stat", v[a, "stat"])
    print ((a in uid) ? uid[a] : a) "\t" substr(r, 2)
  }
}' "$root/conf.d/rp" | sort |
  awk -F'\t' 'BEGIN { printf "{" } { printf "%s\"%s\":{%s}", (NR > 1 ? "," : ""), $1, $2 } END { print "}" }'
