#!/usr/bin/env bash
# The document's whole road through the real kelvane, fed frames as a browser feeds them, beside
# a peer tool doing the same job on the same file in the same run:
#   file request 256 MiB detached  (attrs Dettached 1)  vs openssl cms -sign -binary
#   file request 256 MiB attached                       vs openssl cms -sign -binary -nodetach -outform DER
#   file request 200 MiB PDF, PADES                     vs pdfsig -add-signature
#   file request  10 MiB PDF, PADES                     vs pdfsig -add-signature
#   small content request, answer latency (median)      vs one 25 ms loop pass
# kelvane's time runs from writing the frame to reading the answer; its peak is the process's
# VmHWM after the answer. Every output is verified (openssl cms -verify, pdfsig and
# qpdf --check) before its figures count. BENCH_ROAD_SCALE=n divides every size by n (a quick look, not the benchmark).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)
[ -x build/bin/kelvane ] || { echo "build/bin/kelvane is not built (./run build)"; exit 1; }
for tool in openssl pdfsig qpdf certutil pk12util /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done
work=$(mktemp -d /tmp/bench-road.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 - "$top" "$work" "${BENCH_ROAD_SCALE:-1}" <<'PY'
import os, re, statistics, subprocess, sys, time
top, work, scale = sys.argv[1], sys.argv[2], int(sys.argv[3])
sys.path.insert(0, os.path.join(top, "tests", "host"))
sys.path.insert(0, os.path.join(top, "bench"))
os.environ["DORVIK_BINARY_DIR"] = os.path.join(top, "build")
import benchkit
import hostkit
from benchkit import peer

cred = hostkit.Credential(work, name="Road Signer")
env = cred.env(DORVIK_SELECT="first")
MiB = 1 << 20


def kelvane(request, timeout=900):
    return benchkit.kelvane(env, request, timeout)


def random_file(path, size):
    with open(path, "wb") as f:
        chunk = os.urandom(MiB)
        for _ in range(size // MiB):
            f.write(chunk)
        f.write(chunk[: size % MiB])


def check_cms(signature, content, attached):
    cmd = ["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", signature, "-CAfile", cred.cert,
           "-purpose", "any", "-out", os.devnull]
    if not attached:
        cmd += ["-content", content]
    result = subprocess.run(cmd, env=hostkit.clean_env(), capture_output=True)
    if result.returncode != 0:
        sys.exit("openssl cms -verify refused %s: %s" % (signature, result.stderr.decode(errors="replace")))


def check_pdf(path):
    out = subprocess.run(["pdfsig", "-nssdir", "sql:" + cred.db, path], env=hostkit.clean_env(),
                         capture_output=True, text=True).stdout
    if "Signature Validation: Signature is Valid." not in out:
        sys.exit("pdfsig does not accept %s:\n%s" % (path, out))
    check = subprocess.run(["qpdf", "--check", path], env=hostkit.clean_env(), capture_output=True, text=True)
    if check.returncode != 0:
        sys.exit("qpdf --check refuses %s:\n%s" % (path, check.stdout + check.stderr))


rows = []


def row(name, ours, theirs, peer_name, size):
    (kt, kp), (pt, pp) = ours, theirs
    rows.append((name, kt, kp, pt, pp, peer_name, size))


# Detached and attached CMS of one file.
size = 256 * MiB // scale
doc = os.path.join(work, "contract.bin")
random_file(doc, size)
label = "%d MiB" % (size // MiB) if size >= MiB else "%d KiB" % (size // 1024)
for attached in (False, True):
    request = {"action": "sign", "filename": doc, "type": "CMS", "hash": "sha256"}
    if not attached:
        request["attrs"] = ["Dettached", "1"]
    answer, kt, kp = kelvane(request)
    if answer.get("action") != "signed":
        sys.exit("kelvane did not sign: %r" % answer)
    check_cms(doc + ".p7s", doc, attached)
    os.unlink(doc + ".p7s")
    out = os.path.join(work, "openssl.p7s")
    cmd = ["openssl", "cms", "-sign", "-binary", "-in", doc, "-signer", cred.cert, "-inkey", cred.key,
           "-md", "sha256", "-out", out, "-outform", "DER"]
    if attached:
        cmd.append("-nodetach")
    pt, pp = peer(cmd)
    check_cms(out, doc, attached)
    os.unlink(out)
    row("file %s %s" % (label, "attached" if attached else "detached"), (kt, kp), (pt, pp),
        "openssl cms -sign" + (" -nodetach" if attached else ""), size)
os.unlink(doc)

# PDFs.
for mib in (200, 10):
    size = mib * MiB // scale
    pdf = os.path.join(work, "scan.pdf")
    subprocess.run(["python3", os.path.join(top, "bench", "make_big_pdf.py"), pdf, str(size)], check=True)
    answer, kt, kp = kelvane({"action": "sign", "filename": pdf, "type": "PADES", "hash": "sha256"})
    signed = os.path.join(work, "scan.signed.pdf")
    if answer.get("action") != "signed":
        sys.exit("kelvane did not sign the PDF: %r" % answer)
    check_pdf(signed)
    os.unlink(signed)
    out = os.path.join(work, "pdfsig.pdf")
    pt, pp = peer(["pdfsig", "-nssdir", "sql:" + cred.db, "-nick", "Road Signer", "-add-signature", pdf, out])
    check_pdf(out)
    os.unlink(out)
    os.unlink(pdf)
    row("PADES %d MiB" % (size // MiB), (kt, kp), (pt, pp), "pdfsig -add-signature", size)

print("scale 1/%d; every output verified before its figures count" % scale)
print("%-24s %10s %10s %10s %10s %7s %7s %7s  peer" % ("request", "kelvane s", "kelv MiB", "peer s", "peer MiB",
                                                       "time x", "mem x", "x file"))
for name, kt, kp, pt, pp, peer_name, size in rows:
    print("%-24s %10.3f %10.1f %10.3f %10.1f %7.2f %7.2f %7.2f  %s" % (name, kt, kp / 1024, pt, pp / 1024, kt / pt,
                                                                        kp / pp, kp * 1024 / size, peer_name))

# Answer latency of small content requests in one running host.
host = hostkit.Host(env=env)
samples = []
try:
    for _ in range(60):
        start = time.perf_counter()
        host.send({"action": "sign", "content": "SGVsbG8sIHdvcmxkIQ==", "type": "CMS", "hash": "sha256"})
        answer, _ = host.read_frame(60)
        samples.append(time.perf_counter() - start)
        if answer.get("action") != "signed":
            sys.exit("content request not signed: %r" % answer)
finally:
    host.terminate()
median = statistics.median(samples) * 1000
print("small content request: median %.1f ms over %d requests; floor one 25 ms loop pass; ratio %.2f"
      % (median, len(samples), median / 25.0))
PY
