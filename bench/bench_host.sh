#!/usr/bin/env bash
# kelvane as a whole program:
#  1. time from writing a small content request to reading its answer (one loop pass), median
#     over many requests, beside the loop's own floor (a pass sleeps 25 ms);
#  2. /Mode=SIGN of a 256 MiB file beside openssl cms -sign of the same file in the same run: wall
#     time and peak memory (/usr/bin/time -v) as ratios.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)
[ -x build/bin/kelvane ] || { echo "build/bin/kelvane is not built"; exit 1; }
work=$(mktemp -d /tmp/bench-host.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 - "$top" "$work" <<'PY'
import os, re, statistics, subprocess, sys, time
top, work = sys.argv[1:]
sys.path.insert(0, os.path.join(top, "tests", "host"))
os.environ["DORVIK_BINARY_DIR"] = os.path.join(top, "build")
import hostkit

cred = hostkit.Credential(work, name="Bench Signer")
can_sign = hostkit.library_can_sign() and hostkit.stores_list(cred)
rule = "first" if can_sign else "cancel"

# 1. Request latency.
host = hostkit.Host(env=cred.env(DORVIK_SELECT=rule))
samples = []
for i in range(120):
    start = time.perf_counter()
    host.send({"action": "sign", "content": "SGVsbG8sIHdvcmxkIQ==", "type": "CMS", "hash": "sha256"})
    answer, _ = host.read_frame(60)
    samples.append(time.perf_counter() - start)
host.terminate()
median = statistics.median(samples) * 1000
what = "signed" if can_sign else "answered (certificate choice cancelled; signing not available yet)"
print("content request -> answer: median %.2f ms over %d requests, %s" % (median, len(samples), what))
# Sent right after the previous answer, a request arrives as the loop starts its 25 ms sleep.
print("  floor: one 25 ms loop pass -> ratio %.2f" % (median / 25.0))

# 2. Whole-process signing of 256 MiB.
big = os.path.join(work, "big.bin")
with open(big, "wb") as f:
    chunk = os.urandom(1 << 20)
    for _ in range(256):
        f.write(chunk)

def measured(cmd, env):
    proc = subprocess.run(["/usr/bin/time", "-v", *cmd], env=env, capture_output=True, text=True)
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", proc.stderr)
    seconds = (int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3)))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr).group(1))
    return proc.returncode, seconds, peak

code, o_time, o_peak = measured(["openssl", "cms", "-sign", "-binary", "-nodetach", "-outform", "DER",
                                 "-in", big, "-signer", cred.cert, "-inkey", cred.key, "-out", big + ".openssl.p7s"],
                                hostkit.clean_env())
print("openssl cms -sign -binary -nodetach of 256 MiB: %.2f s, peak %d MiB (exit %d)" % (o_time, o_peak // 1024, code))
if not can_sign:
    print("kelvane /Mode=SIGN of 256 MiB: not available yet (the library cannot sign in this build)")
else:
    code, k_time, k_peak = measured([hostkit.KELVANE, "/Mode=SIGN", "/File=" + big, "/Hash=sha256"],
                                    cred.env(DORVIK_SELECT="first"))
    ok = os.path.exists(big + ".p7s")
    print("kelvane /Mode=SIGN of 256 MiB: %.2f s, peak %d MiB (%s)" % (k_time, k_peak // 1024,
          "signature written" if ok else "no signature written"))
    print("  ratios kelvane/openssl: time %.2f, peak memory %.2f" % (k_time / o_time, k_peak / o_peak))
PY
