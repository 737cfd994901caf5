#!/usr/bin/env bash
# Registers kelvane as the native messaging host of the signing extension, per user, for
# Google Chrome, Chromium and Firefox, or removes that registration.
#
#   install-browser-hosts.sh install [--extension-id ID]... [--firefox-id ID]... [--binary PATH]
#   install-browser-hosts.sh uninstall
#
# --extension-id  a Chrome/Chromium extension id (32 letters a-p); allowed as chrome-extension://ID/
# --firefox-id    a Firefox add-on id (name@domain or {uuid}); listed in allowed_extensions
# --binary        the kelvane to start (default: the installed one beside this script, else PATH)
# A browser family without an id gets no manifest. Manifests go to
#   ~/.config/google-chrome/NativeMessagingHosts, ~/.config/chromium/NativeMessagingHosts,
#   ~/.mozilla/native-messaging-hosts
set -euo pipefail

HOST_NAME=com.tessaly.kelvane
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
config=${XDG_CONFIG_HOME:-$HOME/.config}
chrome_dirs=("$config/google-chrome/NativeMessagingHosts" "$config/chromium/NativeMessagingHosts")
firefox_dir="$HOME/.mozilla/native-messaging-hosts"

usage() { sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }

find_binary() {
  local candidate
  for candidate in "$here/../../bin/kelvane" "$here/../build/bin/kelvane" "$(command -v kelvane 2>/dev/null || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      (cd "$(dirname "$candidate")" && echo "$(pwd -P)/$(basename "$candidate")")
      return 0
    fi
  done
  echo "kelvane not found; pass --binary PATH" >&2
  exit 1
}

write_manifest() {   # write_manifest FILE KEY BINARY VALUES...
  local file=$1 key=$2 binary=$3
  shift 3
  mkdir -p "$(dirname "$file")"
  python3 - "$file" "$key" "$binary" "$HOST_NAME" "$@" <<'PY'
import json, os, sys
file, key, binary, name, *values = sys.argv[1:]
manifest = {"name": name, "description": "Tessaly Kelvane document signing host", "path": binary,
            "type": "stdio", key: values}
tmp = file + ".~tmp"
with open(tmp, "w") as f:
    json.dump(manifest, f, indent=2)
    f.write("\n")
os.replace(tmp, file)
PY
  echo "wrote $file"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  install)
    chrome_ids=() firefox_ids=() binary=""
    while [ $# -gt 0 ]; do
      case "$1" in
        --extension-id)
          [[ ${2:-} =~ ^[a-p]{32}$ ]] || { echo "not a Chrome extension id: ${2:-}" >&2; exit 2; }
          chrome_ids+=("chrome-extension://$2/"); shift 2 ;;
        --firefox-id)
          [[ ${2:-} =~ ^(\{[0-9a-fA-F-]{36}\}|[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+)$ ]] || { echo "not a Firefox add-on id: ${2:-}" >&2; exit 2; }
          firefox_ids+=("$2"); shift 2 ;;
        --binary)
          [ -x "${2:-}" ] || { echo "not an executable: ${2:-}" >&2; exit 2; }
          binary=$(cd "$(dirname "$2")" && echo "$(pwd -P)/$(basename "$2")"); shift 2 ;;
        *) usage ;;
      esac
    done
    [ ${#chrome_ids[@]} -gt 0 ] || [ ${#firefox_ids[@]} -gt 0 ] || { echo "give at least one --extension-id or --firefox-id" >&2; exit 2; }
    [ -n "$binary" ] || binary=$(find_binary)
    if [ ${#chrome_ids[@]} -gt 0 ]; then
      for dir in "${chrome_dirs[@]}"; do
        write_manifest "$dir/$HOST_NAME.json" allowed_origins "$binary" "${chrome_ids[@]}"
      done
    fi
    if [ ${#firefox_ids[@]} -gt 0 ]; then
      write_manifest "$firefox_dir/$HOST_NAME.json" allowed_extensions "$binary" "${firefox_ids[@]}"
    fi
    ;;
  uninstall)
    [ $# -eq 0 ] || usage
    for file in "${chrome_dirs[@]/%//$HOST_NAME.json}" "$firefox_dir/$HOST_NAME.json"; do
      if [ -f "$file" ]; then
        rm -f "$file"
        echo "removed $file"
      fi
    done
    ;;
  *) usage ;;
esac
