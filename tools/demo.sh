#!/usr/bin/env bash
# What the system can show so far.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
echo "kelvane: $(build/bin/kelvane --version)"
echo "libdorvik exports:"
nm -D --defined-only build/lib/libdorvik.so | awk '$2 == "T" { print "  " $3 }'
