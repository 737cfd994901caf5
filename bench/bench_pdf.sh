#!/usr/bin/env bash
# Signing 1 MiB, 50 MiB and 200 MiB PDFs: dorvik-pdfsign (TPDF with an OpenSSL CMS) beside
# poppler's `pdfsig -add-signature` (NSS; it has no CAdES mode with -add-signature, so it
# writes adbe.pkcs7.detached) on the same files, in the same run. Reports wall time
# and peak resident memory of each, and their ratios; both outputs are checked with pdfsig.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ours=${DORVIK_PDFSIGN:-$top/build/bin/dorvik-pdfsign}
[ -x "$ours" ] || { echo "build dorvik-pdfsign first (./run build)"; exit 1; }
for tool in pdfsig certutil pk12util openssl /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj "/CN=Bench Signer" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -name "Bench Signer" \
  -out "$work/key.p12" -passout pass: 2>/dev/null
mkdir "$work/nss"
certutil -N -d "sql:$work/nss" --empty-password
pk12util -i "$work/key.p12" -d "sql:$work/nss" -W '' >/dev/null
sha=""

measure() {  # measure LOG cmd... -> "wall_seconds cpu_seconds kib"
  local log=$1; shift
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>"$log.err" || { cat "$log.err" >&2; return 1; }
  local wall cpu rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log" |
         awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
  cpu=$(awk -F': ' '/User time|System time/ {t += $2} END {print t}' "$log")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  echo "$wall $cpu $rss"
}

verify() {
  pdfsig -nssdir "sql:$work/nss" "$1" 2>&1 | grep -q "Signature Validation: Signature is Valid." ||
    { echo "signature of $1 not valid" >&2; return 1; }
}

printf '%-7s %8s %8s %6s %8s %8s %6s %9s %9s %6s\n' size ours_s pdfsig_s wall× ours_cpu pdf_cpu cpu× ours_MiB pdfsig_MiB mem×
for mib in 1 50 200; do
  in="$work/in-$mib.pdf"
  python3 "$top/bench/make_big_pdf.py" "$in" $((mib * 1024 * 1024))
  read -r ot oc om < <(measure "$work/ours.log" "$ours" "$in" "$work/ours-$mib.pdf" "$work/key.pem" "$work/cert.pem")
  read -r pt pc pm < <(measure "$work/pdfsig.log" pdfsig -nssdir "sql:$work/nss" -nick "Bench Signer" \
                      -add-signature "$in" "$work/pdfsig-$mib.pdf")
  verify "$work/ours-$mib.pdf"
  verify "$work/pdfsig-$mib.pdf"
  awk -v s="${mib}MiB" -v ot="$ot" -v pt="$pt" -v oc="$oc" -v pc="$pc" -v om="$om" -v pm="$pm" 'BEGIN {
    printf "%-7s %8.2f %8.2f %6.2f %8.2f %8.2f %6.2f %9.1f %9.1f %6.2f\n", s, ot, pt, (pt > 0 ? ot / pt : 0),
           oc, pc, (pc > 0 ? oc / pc : 0), om / 1024, pm / 1024, (pm > 0 ? om / pm : 0) }'
  [ "$mib" = 200 ] && sha=$( { /usr/bin/time -f "%e s wall, %U+%S s cpu" sha256sum "$in" >/dev/null; } 2>&1 )
  rm -f "$in" "$work/ours-$mib.pdf" "$work/pdfsig-$mib.pdf"
done
echo "ratios are dorvik-pdfsign / pdfsig (below 1: ours is faster or smaller); cpu is user+system"
echo "seconds, the steadier figure on a shared machine; sha256sum of the 200 MiB file: $sha"
