#!/usr/bin/env bash
# Encrypting a document with AES256CBC through the library's encrypt action (plugin_driver:
# request XML in, Encode(16), response XML out, timed from the request's first byte to the
# response's last) beside `openssl enc -aes-256-cbc` of the same data with the same key and the
# zero IV, in the same run. Both ciphertexts must be equal.
#   PLUGIN_MIB=64 bash bench/bench_plugin_encrypt.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
driver=${PLUGIN_DRIVER:-$top/build/bin/plugin_driver}
[ -x "$driver" ] || { echo "bench_plugin_encrypt: build plugin_driver first (./run build)" >&2; exit 1; }
mib=${PLUGIN_MIB:-64}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Request texts end at their first zero byte: content without zeros.
(set +o pipefail; head -c $((mib * 1024 * 1024 + mib * 8192)) /dev/urandom | tr -d '\000' | head -c $((mib * 1024 * 1024)) > "$work/doc.bin")
key_hex=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
key_b64=$(printf '%s' "$key_hex" | xxd -r -p | base64 -w0)

best_openssl=999999 best_action=999999
for round in 1 2 3; do
  start=$(date +%s.%N)
  openssl enc -aes-256-cbc -K "$key_hex" -iv 0 -in "$work/doc.bin" -out "$work/openssl.bin" 2>/dev/null
  end=$(date +%s.%N)
  t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  best_openssl=$(awk -v a="$best_openssl" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
  t=$("$driver" "$work/doc.bin" AES256CBC "$key_b64" "$work/action.bin")
  best_action=$(awk -v a="$best_action" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
done
cmp -s "$work/openssl.bin" "$work/action.bin" || { echo "bench_plugin_encrypt: ciphertexts differ" >&2; exit 1; }
ratio=$(awk -v a="$best_action" -v b="$best_openssl" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.001) }')
printf 'AES256CBC %d MiB: action %.3f s (request and response XML included) | openssl enc %.3f s | ratio %s (best of 3)\n' \
  "$mib" "$best_action" "$best_openssl" "$ratio"
echo "goal: ratio <= 3"
