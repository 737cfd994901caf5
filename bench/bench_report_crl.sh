#!/usr/bin/env bash
# The verification report with revocation over a SignedData that carries a CRL of N entries
# (dorvik-verify --revocation), beside `openssl verify -crl_check` of the same certificate and
# CRL in the same run, at 100k, 200k and 500k entries: time per entry and the ratio to openssl.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli=${DORVIK_VERIFY:-$top/build/bin/dorvik-verify}
[ -x "$cli" ] || { echo "bench_report_crl: build dorvik-verify first (./run build)" >&2; exit 1; }
sizes=${CRL_SIZES:-"100000 200000 500000"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/ext.cnf" <<'CNF'
[ ca ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
[ leaf ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,nonRepudiation
CNF
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=Bench CRL Issuer/O=Dorvik" -days 3650 -config "$work/ext.cnf" -extensions ca 2>/dev/null \
  || openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
       -subj "/CN=Bench CRL Issuer/O=Dorvik" -days 3650 -addext "basicConstraints=critical,CA:true" \
       -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$work/leaf.key" -out "$work/leaf.csr" \
  -subj "/CN=Bench Signer" 2>/dev/null
openssl x509 -req -in "$work/leaf.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 7 -days 365 \
  -extfile "$work/ext.cnf" -extensions leaf -out "$work/leaf.pem" 2>/dev/null
mkdir "$work/trusted"
openssl x509 -in "$work/ca.pem" -outform DER -out "$work/trusted/ca.cer"
echo "documento" > "$work/doc.txt"
openssl cms -sign -binary -nodetach -in "$work/doc.txt" -signer "$work/leaf.pem" -inkey "$work/leaf.key" \
  -outform DER -out "$work/plain.p7s"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Best of three: the machine is shared, the minimum is the least disturbed run.
best_of_3() {
  local best="" t0 t1 ms
  for _ in 1 2 3; do
    t0=$(now_ms); "$@" >/dev/null 2>&1 || true; t1=$(now_ms)
    ms=$((t1 - t0))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

# The floor both pay whatever the CRL: the same work over a SignedData without a CRL (for
# dorvik-verify, with the CRL given as a one-entry list) is subtracted before the per-entry time.
python3 "$top/bench/make_crl.py" 1 "$work/ca.pem" "$work/ca.key" "$work/crl1.der"
python3 "$top/bench/embed_crl.py" "$work/plain.p7s" "$work/crl1.der" "$work/signed1.p7s"
openssl crl -inform DER -in "$work/crl1.der" -out "$work/crl1.pem"
base_ours=$(best_of_3 "$cli" --revocation --trusted "$work/trusted" "$work/signed1.p7s")
base_peer=$(best_of_3 openssl verify -crl_check -CAfile "$work/ca.pem" -CRLfile "$work/crl1.pem" "$work/leaf.pem")

printf '%8s %7s %10s %10s %12s %12s %7s\n' entries MB dorvik_ms openssl_ms dorvik_us/e openssl_us/e ratio
for n in $sizes; do
  python3 "$top/bench/make_crl.py" "$n" "$work/ca.pem" "$work/ca.key" "$work/crl.der"
  python3 "$top/bench/embed_crl.py" "$work/plain.p7s" "$work/crl.der" "$work/signed.p7s"
  openssl crl -inform DER -in "$work/crl.der" -out "$work/crl.pem"
  # Both must conclude the same: the certificate is not revoked and the chain is good.
  openssl verify -crl_check -CAfile "$work/ca.pem" -CRLfile "$work/crl.pem" "$work/leaf.pem" >/dev/null \
    || { echo "bench_report_crl: openssl rejects the certificate" >&2; exit 1; }
  "$cli" --revocation --trusted "$work/trusted" --report "$work/report.xml" "$work/signed.p7s" >/dev/null \
    || { echo "bench_report_crl: dorvik-verify does not find the signature valid" >&2; exit 1; }
  grep -q "<Status>OK</Status>" "$work/report.xml" || { echo "bench_report_crl: report status not OK" >&2; exit 1; }
  ours=$(best_of_3 "$cli" --revocation --trusted "$work/trusted" "$work/signed.p7s")
  peer=$(best_of_3 openssl verify -crl_check -CAfile "$work/ca.pem" -CRLfile "$work/crl.pem" "$work/leaf.pem")
  awk -v n="$n" -v s="$(stat -c %s "$work/crl.der")" -v o="$ours" -v p="$peer" -v bo="$base_ours" -v bp="$base_peer" \
    'BEGIN { printf "%8d %7.1f %10d %10d %12.3f %12.3f %7.2f\n", n, s / 1e6, o, p,
             (o - bo) * 1000 / n, (p - bp) * 1000 / n, o / (p ? p : 1) }'
done
