#!/usr/bin/env bash
# Large CRLs through the ASN.1 XML codec: DER -> XML (encoding 14) -> DER with dorvik-asn1,
# beside `openssl crl` reading the same file. Two sizes, the second twice the first, show
# whether the codec's time grows in proportion to the input. Peak memory (maximum resident
# set) of both programs on the same file stands beside the times.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli=${DORVIK_ASN1:-$top/build/bin/dorvik-asn1}
[ -x "$cli" ] || { echo "bench_crl: build dorvik-asn1 first (./run build)" >&2; exit 1; }
small=${CRL_ENTRIES:-500000}
large=$((small * 2))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=Bench CRL Issuer/O=Dorvik" -days 3650 2>/dev/null

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }

declare -A codec
for n in "$small" "$large"; do
  crl="$work/crl$n.der"
  python3 "$top/bench/make_crl.py" "$n" "$work/ca.pem" "$work/ca.key" "$crl"
  openssl crl -inform DER -in "$crl" -noout -CAfile "$work/ca.pem" 2>&1 | grep -q "verify OK" \
    || { echo "bench_crl: openssl does not accept the CRL" >&2; exit 1; }
  size=$(stat -c %s "$crl")
  /usr/bin/time -f '%M' -o "$work/peer.rss" openssl crl -noout -inform DER -in "$crl" >/dev/null
  # The best of several rounds (CRL_REPEAT, 5 unless told) of each side: the machine is shared,
  # the minimum is the least disturbed run. The two sides take turns, so that a slow spell
  # of the machine falls on both rather than on one.
  peer="" best_total="" line=""
  for _ in $(seq "${CRL_REPEAT:-5}"); do
    t0=$(now_ms); openssl crl -noout -inform DER -in "$crl" >/dev/null; t1=$(now_ms)
    ms=$((t1 - t0))
    if [ -z "$peer" ] || [ "$ms" -lt "$peer" ]; then peer=$ms; fi
    out=$(/usr/bin/time -f '%M' -o "$work/codec.rss" "$cli" "$crl")
    total=$(awk -v d="$(field decode_ms "$out")" -v e="$(field encode_ms "$out")" 'BEGIN { printf "%d", d + e }')
    if [ -z "$best_total" ] || [ "$total" -lt "$best_total" ]; then best_total=$total line=$out; fi
  done
  codec[$n]=$best_total
  printf 'CRL %7d entries %5.1f MB: dorvik-asn1 %s | total %d ms | openssl crl %d ms | ratio %s | peak MB %d vs openssl %d\n' \
    "$n" "$(awk -v s="$size" 'BEGIN { print s / 1e6 }')" "$line" "$best_total" "$peer" \
    "$(awk -v a="$best_total" -v b="$peer" 'BEGIN { printf "%.2f", a / (b ? b : 1) }')" \
    $(( $(cat "$work/codec.rss") / 1024 )) $(( $(cat "$work/peer.rss") / 1024 ))
  rm -f "$crl"
done
growth=$(awk -v a="${codec[$large]}" -v b="${codec[$small]}" 'BEGIN { printf "%.2f", a / (b ? b : 1) }')
echo "doubling the entries multiplies the codec's time by $growth (linear: 2.00)"
