#!/usr/bin/env bash
# Signing a large document through the library's C interface (sign_driver, as the host does
# it) beside `openssl cms -sign` on the same file with the same PKCS#12 key, attached and
# detached. Reports wall time and peak memory (/usr/bin/time -v) as ratios.
#   SIGN_MIB=256 bash bench/bench_sign.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
driver=${SIGN_DRIVER:-$top/build/bin/sign_driver}
[ -x "$driver" ] || { echo "bench_sign: build sign_driver first (./run build)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench_sign: needs /usr/bin/time (package time)" >&2; exit 1; }
mib=${SIGN_MIB:-256}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj "/CN=Bench Signer/O=Dorvik" -days 365 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" -passout pass:bench
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/doc.bin"
doc_kb=$((mib * 1024))

# run NAME COMMAND...: wall seconds and peak KB into the arrays.
declare -A wall peak
run() {
  local name=$1; shift
  /usr/bin/time -v -o "$work/$name.time" "$@" >/dev/null
  wall[$name]=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$work/$name.time")
  peak[$name]=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$name.time")
}

run openssl_attached openssl cms -sign -binary -nodetach -outform DER -in "$work/doc.bin" \
  -signer "$work/cert.pem" -inkey "$work/key.pem" -out "$work/openssl_attached.der"
run openssl_detached openssl cms -sign -binary -outform DER -in "$work/doc.bin" \
  -signer "$work/cert.pem" -inkey "$work/key.pem" -out "$work/openssl_detached.der"
run dorvik_attached "$driver" "$work/doc.bin" "$work/signer.p12" bench attached "$work/dorvik_attached.der"
run dorvik_detached "$driver" "$work/doc.bin" "$work/signer.p12" bench detached "$work/dorvik_detached.der"

# Both signatures must verify, the attached one must carry the document itself.
openssl cms -verify -binary -inform DER -in "$work/dorvik_attached.der" -noverify -out "$work/content.bin" 2>/dev/null
cmp -s "$work/content.bin" "$work/doc.bin" || { echo "bench_sign: attached content differs" >&2; exit 1; }
rm -f "$work/content.bin"
openssl cms -verify -binary -inform DER -in "$work/dorvik_detached.der" -noverify -content "$work/doc.bin" \
  -out /dev/null 2>/dev/null || { echo "bench_sign: detached signature does not verify" >&2; exit 1; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.001) }'; }
echo "document: $mib MiB"
for mode in attached detached; do
  d=dorvik_$mode o=openssl_$mode
  printf '%-9s dorvik %6.2f s %7d MB | openssl %6.2f s %7d MB | time ratio %s | dorvik peak / document %s\n' \
    "$mode" "${wall[$d]}" $((peak[$d] / 1024)) "${wall[$o]}" $((peak[$o] / 1024)) \
    "$(ratio "${wall[$d]}" "${wall[$o]}")" "$(ratio "${peak[$d]}" "$doc_kb")"
done
echo "goals: attached time ratio <= 0.5 and peak <= 6x; detached time ratio <= 3 and peak <= 4x"
