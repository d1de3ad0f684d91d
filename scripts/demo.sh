#!/usr/bin/env bash
# A short tour of the tool on a scratch instance. Needs root: the scratch
# instance's truv config is bound at /etc/kestrane in a private mount
# namespace, so the host's own /etc is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/kestrane-truv-rp}")
scratch=$(mktemp -d /tmp/ktrp-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p /etc/kestrane "$scratch/etc" "$scratch/root/conf.d" "$scratch/root/certs.main" \
  "$scratch/peer-etc" "$scratch/peer/conf.d"
cat > "$scratch/etc/truv.config" <<CONF
root_dir = $scratch/root
stat.prometheus.listen_addr = 0.0.0.0:9100
CONF
# A second instance that imports this one's registration.
echo "root_dir = $scratch/peer" > "$scratch/peer-etc/truv.config"
cat > "$scratch/root/certs.main/.truv.registration-info" <<'CONF'
.type = truv.rp-registration-info.v1
truv-address = rp.demo.example:8443
CONF
echo "digest.sha256 = 9f86d081884c7d659a2feaa0c55ad015" > "$scratch/root/certs.main/truv.pem.info"

cat > "$scratch/tour.sh" <<'TOUR'
set -u
bin=$1 root=$2
mount --bind "$root/../etc" /etc/kestrane
run() { printf '\n$ kestrane-truv-rp %s\n' "$*"; "$bin" "$@"; printf ' [exit %d]\n' $?; }
run add-upstream -dc-uid 0b6c1f52-demo-east -alias east -address east.example:8443 -secret s3cret -digest 1a2b3c -stat east.example:9100
run add-upstream -dc-uid west-dc -address west.example:8443 -secret s3cret2 -digest 4d5e6f
run upstream-uids
run upstreams
run get-upstream -dc-uid 0b6c1f52-demo-east -alias -address
run accounts-balancing -set-weight-for-name east 70
run accounts-balancing -set-weight-for-name west-dc 30
run accounts-balancing -set-threshold 5 -weights -j
run accounts-balancing -get-threshold
run change-upstream -dc-uid west-dc -address west2.example:8443
run export-registration
run export-registration -out "$root/../registration.json"
run rm-upstream -dc-uid 0b6c1f52-demo-east
printf '\n--- conf.d/rp ---\n'; cat "$root/conf.d/rp"
printf -- '--- conf.d/rp.select ---\n'; cat "$root/conf.d/rp.select"; echo

printf '\n=== on a second instance ===\n'
mount --bind "$root/../peer-etc" /etc/kestrane
run import-registration -alias demo-peer -in "$root/../registration.json"
run get-upstream -dc-uid demo-peer -j
printf -- '--- conf.d/rp ---\n'; cat "$root/../peer/conf.d/rp"
TOUR
unshare --mount bash "$scratch/tour.sh" "$bin" "$scratch/root"
