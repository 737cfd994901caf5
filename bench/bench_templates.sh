#!/usr/bin/env bash
# Templates and path queries beside their peers, measured in the same run:
#  1. a template turning 100,000 records (about 10 MB of XML) into an HTML table, through the
#     library's Transform, beside xsltproc running the equivalent XSLT over the same file
#     (goal: within 3x of xsltproc);
#  2. path queries with predicates over the 100,000 children beside the same XPath in lxml.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${DORVIK_BIN:-$top/build/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$top/bench/make_records.py" "$work/records.xml" 100000
size=$(stat -c %s "$work/records.xml")

# Processor time (user + system) of a whole run, best of three: the machine may be shared, and
# waiting for a core is not work of either program.
cpu() {
  local t bestt=""
  for _ in 1 2 3; do
    /usr/bin/time -o "$work/time" -f '%U %S' "$@" >/dev/null 2>&1
    t=$(tail -1 "$work/time" | awk '{print $1 + $2}')
    if [ -z "$bestt" ] || awk "BEGIN{exit !($t < $bestt)}"; then bestt=$t; fi
  done
  echo "$bestt"
}

ours=$(cpu "$bin/xml_transform_driver" "$work/records.xml" "$top/bench/records.html.xml" "$work/ours.html")
peer=$(cpu xsltproc -o "$work/peer.html" "$top/bench/records.xsl" "$work/records.xml")
rows_ours=$(grep -c '<tr' "$work/ours.html")
rows_peer=$(grep -c '<tr' "$work/peer.html")
printf 'template to HTML, %d bytes, 100000 records: dorvik %.2f s CPU (%d rows), xsltproc %.2f s CPU (%d rows), ratio %.2fx (goal <= 3x)\n' \
  "$size" "$ours" "$rows_ours" "$peer" "$rows_peer" "$(awk "BEGIN{print $ours / ($peer > 0 ? $peer : 0.001)}")"

queries=("Record[Type = 'A']" "Record[(Type = 'B') and (Price > 500)]" "Record[.id > 99000]\\Name" "Record[50000..50100]")
xpaths=("Record[Type = 'A']" "Record[Type = 'B' and Price > 500]" "Record[@id > 99000]/Name" "Record[position() > 50000 and position() <= 50101]")
mapfile -t ourq < <("$bin/xml_query_driver" "$work/records.xml" "${queries[@]}")
mapfile -t peerq < <(/usr/bin/python3 - "$work/records.xml" "${xpaths[@]}" <<'PY'
import sys, time
from lxml import etree
root = etree.parse(sys.argv[1]).getroot()
for q in sys.argv[2:]:
    best = None
    for _ in range(3):
        a = time.perf_counter(); n = len(root.xpath(q)); b = time.perf_counter()
        best = b - a if best is None else min(best, b - a)
    print("%.4f %d" % (best, n))
PY
)
for i in "${!queries[@]}"; do
  read -r ot on <<<"${ourq[$i]}"
  read -r pt pn <<<"${peerq[$i]}"
  printf 'path query %-42s dorvik %.4f s (%d), lxml %.4f s (%d), ratio %.2fx\n' "${queries[$i]}" "$ot" "$on" "$pt" "$pn" \
    "$(awk "BEGIN{print $ot / ($pt > 0 ? $pt : 0.0001)}")"
done
