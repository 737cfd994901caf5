#!/usr/bin/env bash
# PDFs signed by an incremental update, through the real kelvane fed a browser's frame, beside
# poppler's `pdfsig -add-signature` (which appends an update as well) on the same file, in the
# same run:
#   200 MiB PDF with a cross-reference stream, PADES    vs pdfsig -add-signature
#   the same file signed a second time                  vs pdfsig -add-signature on pdfsig's output
#    10 MiB PDF with a cross-reference stream, PADES    vs pdfsig -add-signature
# kelvane's time runs from writing the frame to reading the answer; its peak is the process's
# VmHWM after the answer. Every output is checked with pdfsig (every signature valid) and ours
# also for the bytes before the update. BENCH_PDF_SCALE=n divides the sizes by n (a quick look).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)
[ -x build/bin/kelvane ] || { echo "build/bin/kelvane is not built (./run build)"; exit 1; }
for tool in pdfsig certutil pk12util /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 1; }
done
work=$(mktemp -d /tmp/bench-pdf-inc.XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$top" "$work" "${BENCH_PDF_SCALE:-1}" <<'PY'
import filecmp, os, re, subprocess, sys, time
top, work, scale = sys.argv[1], sys.argv[2], int(sys.argv[3])
sys.path.insert(0, os.path.join(top, "tests", "host"))
sys.path.insert(0, os.path.join(top, "bench"))
os.environ["DORVIK_BINARY_DIR"] = os.path.join(top, "build")
import benchkit
import hostkit

cred = hostkit.Credential(work, name="Bench Signer")
env = cred.env(DORVIK_SELECT="first")
MiB = 1 << 20


def kelvane(path):
    answer, seconds, peak = benchkit.kelvane(env, {"action": "sign", "filename": path, "type": "PADES", "hash": "sha256"})
    if answer.get("action") != "signed":
        sys.exit("kelvane did not sign %s: %r" % (path, answer))
    return answer["signedfilename"], seconds, peak


def pdfsig(src, out):
    return benchkit.peer(["pdfsig", "-nssdir", "sql:" + cred.db, "-nick", "Bench Signer", "-add-signature", src, out])


def check(path, signatures, prefix_of=None):
    out = subprocess.run(["pdfsig", "-nssdir", "sql:" + cred.db, path], env=hostkit.clean_env(),
                         capture_output=True, text=True).stdout
    if out.count("Signature Validation: Signature is Valid.") != signatures:
        sys.exit("pdfsig does not accept every signature of %s:\n%s" % (path, out))
    if prefix_of:
        size = os.path.getsize(prefix_of)
        with open(prefix_of, "rb") as a, open(path, "rb") as b:
            while size > 0:
                n = min(size, 16 * MiB)
                if a.read(n) != b.read(n):
                    sys.exit("%s does not start with %s" % (path, prefix_of))
                size -= n


rows = []
for mib in (200, 10):
    size = mib * MiB // scale
    pdf = os.path.join(work, "scan.pdf")
    subprocess.run(["/usr/bin/python3", os.path.join(top, "bench", "make_big_pdf.py"), pdf, str(size), "xref-stream"],
                   check=True)
    ours, kt, kp = kelvane(pdf)
    check(ours, 1, pdf)
    theirs = os.path.join(work, "pdfsig.pdf")
    pt, pp = pdfsig(pdf, theirs)
    check(theirs, 1)
    rows.append(("%d MiB xref stream" % (size // MiB), kt, kp, pt, pp))
    if mib == 200:
        again, kt, kp = kelvane(ours)
        check(again, 2, ours)
        theirs2 = os.path.join(work, "pdfsig2.pdf")
        pt, pp = pdfsig(theirs, theirs2)
        check(theirs2, 2)
        rows.append(("  signed again", kt, kp, pt, pp))
        os.unlink(again)
        os.unlink(theirs2)
    for path in (ours, theirs, pdf):
        os.unlink(path)

print("%-22s %10s %10s %10s %10s %7s %7s" % ("PADES request", "kelvane s", "kelv MiB", "pdfsig s", "pdfsig MiB",
                                           "time x", "mem x"))
for name, kt, kp, pt, pp in rows:
    print("%-22s %10.3f %10.1f %10.3f %10.1f %7.2f %7.2f" % (name, kt, kp / 1024, pt, pp / 1024, kt / pt, kp / pp))
print("ratios are kelvane / pdfsig -add-signature (below 1: kelvane is faster or smaller)")
PY
