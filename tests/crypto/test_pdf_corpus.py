"""Signs PDFs written by outside tools through dorvik-pdfsign and checks the results with
qpdf, poppler's pdfsig and pdfinfo, and a byte-range check of our own. The same documents with
cross-reference streams, and linearized, are signed by an incremental update that keeps
their bytes; an encrypted one is refused without output."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

BIN = os.path.join(os.environ.get("DORVIK_BINARY_DIR", "build"), "bin", "dorvik-pdfsign")


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, **kw)


def make_corpus(d):
    made = []
    # cairo through its Python binding
    import cairo
    path = os.path.join(d, "cairo.pdf")
    s = cairo.PDFSurface(path, 300, 300)
    c = cairo.Context(s)
    c.move_to(20, 50)
    c.show_text("Hello from cairo")
    c.show_page()
    c.show_text("second page")
    s.finish()
    made.append(path)
    # ghostscript
    ps = os.path.join(d, "gs.ps")
    with open(ps, "w") as f:
        f.write("%!PS\n/Helvetica findfont 20 scalefont setfont 72 720 moveto (Hello ghostscript) show showpage\n")
    run("ps2pdf", ps, os.path.join(d, "gs.pdf"), check=True)
    made.append(os.path.join(d, "gs.pdf"))
    # mupdf
    with open(os.path.join(d, "page.txt"), "w") as f:
        f.write("%%MediaBox 0 0 200 200\nBT /F1 12 Tf 10 10 Td (hello mutool) Tj ET\n")
    run("mutool", "create", "-o", os.path.join(d, "mutool.pdf"), os.path.join(d, "page.txt"), check=True)
    made.append(os.path.join(d, "mutool.pdf"))
    # qpdf's own writer, joining two of the above
    run("qpdf", "--empty", "--pages", made[0], made[1], "--", os.path.join(d, "qpdf.pdf"), check=True)
    made.append(os.path.join(d, "qpdf.pdf"))
    # PDFs shipped in Debian packages
    shipped = sorted(p for p in glob.glob("/usr/share/**/*.pdf", recursive=True)
                     if os.path.getsize(p) < 20 * 1024 * 1024)[:4]
    for i, p in enumerate(shipped):
        dst = os.path.join(d, "debian%d.pdf" % i)
        shutil.copy(p, dst)
        made.append(dst)
    # CR LF line ends and a 1.4 header, written by hand
    made.append(write_crlf(os.path.join(d, "crlf.pdf")))
    # A second revision whose full table points back at the first through "Prev"
    made.append(write_two_revisions(os.path.join(d, "revisions.pdf")))
    return made


def write_two_revisions(path):
    def entry(o):
        return b"%010d 00000 n \n" % o
    bodies = [b"<< /Type /Catalog /Pages 2 0 R >>",
              b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
              b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"]
    out = b"%PDF-1.4\n"
    offsets = []
    for i, body in enumerate(bodies):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i + 1, body)
    first = len(out)
    out += b"xref\n0 4\n0000000000 65535 f \n" + b"".join(entry(o) for o in offsets)
    out += b"trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % first
    page = len(out)
    out += b"3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] >>\nendobj\n"
    second = len(out)
    out += b"xref\n0 4\n0000000000 65535 f \n" + entry(offsets[0]) + entry(offsets[1]) + entry(page)
    out += b"trailer\n<< /Size 4 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (first, second)
    with open(path, "wb") as f:
        f.write(out)
    return path


def write_crlf(path):
    bodies = [b"<< /Type /Catalog /Pages 2 0 R >>",
              b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
              b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"]
    out = b"%PDF-1.4\r\n"
    offsets = []
    for i, body in enumerate(bodies):
        offsets.append(len(out))
        out += b"%d 0 obj\r\n%s\r\nendobj\r\n" % (i + 1, body)
    xref = len(out)
    out += b"xref\r\n0 4\r\n0000000000 65535 f\r\n"
    out += b"".join(b"%010d 00000 n\r\n" % o for o in offsets)
    out += b"trailer\r\n<< /Size 4 /Root 1 0 R >>\r\nstartxref\r\n%d\r\n%%%%EOF\r\n" % xref
    with open(path, "wb") as f:
        f.write(out)
    return path


def check_byte_range(path):
    data = open(path, "rb").read()
    m = list(re.finditer(rb"/ByteRange \[ (\d+) (\d+) (\d+) (\d+) \]", data))[-1]
    a, b, c, d = (int(x) for x in m.groups())
    assert a == 0, "range starts at %d" % a
    assert c + d == len(data), "second range ends at %d of %d" % (c + d, len(data))
    gap = data[b:c]
    assert re.fullmatch(rb"<[0-9A-F]+>", gap), "gap is not the hex string"
    assert data[b - 10:b] == b"/Contents ", "gap is not the /Contents value"
    assert len(gap) == 20482


def check_signed(label, out, name):
    failures = []
    q = run("qpdf", "--check", out)
    if q.returncode != 0:
        failures.append("%s: qpdf --check: %s" % (label, (q.stdout + q.stderr)[-400:]))
    p = run("pdfsig", out)
    if "Signature Validation: Signature is Valid." not in p.stdout or \
            "Total document signed" not in p.stdout:
        failures.append("%s: pdfsig: %s" % (label, p.stdout + p.stderr))
    info = run("pdfinfo", out)
    if "Signed " + name not in info.stdout:
        failures.append("%s: pdfinfo title: %s" % (label, info.stdout))
    try:
        check_byte_range(out)
    except AssertionError as e:
        failures.append("%s: byte range: %s" % (label, e))
    return failures


def sign_appended(label, doc, key, cert, name):
    out = doc[:-4] + "-signed.pdf"
    r = run(BIN, doc, out, key, cert, "info:Title=$UTF:Signed " + name, "propbuild:AppName=Dorvik Corpus")
    if r.returncode != 0:
        return ["%s: signing failed: %s" % (label, r.stderr.strip())]
    failures = check_signed(label, out, name)
    with open(doc, "rb") as f:
        before = f.read()
    with open(out, "rb") as f:
        if f.read(len(before)) != before:
            failures.append("%s: the original bytes changed" % label)
    print("%-26s signed by an update and checked" % label)
    return failures


def main():
    failures = []
    with tempfile.TemporaryDirectory() as d:
        key, cert = os.path.join(d, "key.pem"), os.path.join(d, "cert.pem")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
            "-days", "2", "-subj", "/CN=Corpus Signer", check=True)
        corpus = make_corpus(d)
        for src in corpus:
            name = os.path.basename(src)
            classic = src[:-4] + "-classic.pdf"
            run("qpdf", "--object-streams=disable", src, classic)
            if not os.path.exists(classic):
                failures.append("%s: qpdf could not normalise it" % name)
                continue
            # The normalised document and the tool's own output both sign, in place or by an
            # update for a layout the rewrite does not edit.
            for label, doc in ((name, classic), (name + " (as made)", src)):
                out = doc[:-4] + "-signed.pdf"
                r = run(BIN, doc, out, key, cert, "info:Title=$UTF:Signed " + name,
                        "propbuild:AppName=Dorvik Corpus", "propbuild:AppVersion=1.0")
                if r.returncode != 0:
                    failures.append("%s: signing failed: %s" % (label, r.stderr.strip()))
                    continue
                failures.extend(check_signed(label, out, name))
                print("%-26s signed and checked" % label)

            # The same document with cross-reference streams: an update appended to it.
            streams = src[:-4] + "-xstream.pdf"
            run("qpdf", "--object-streams=generate", src, streams, check=False)
            failures.extend(sign_appended(name + " (streams)", streams, key, cert, name))
        # Linearized: the update follows the whole file too.
        lin = os.path.join(d, "linearized.pdf")
        run("qpdf", "--linearize", corpus[0], lin, check=True)
        failures.extend(sign_appended("linearized.pdf", lin, key, cert, "linearized.pdf"))
        # Encrypted: refused, with no output.
        enc = os.path.join(d, "encrypted.pdf")
        run("qpdf", "--encrypt", "", "owner", "256", "--", corpus[0], enc, check=True)
        r = run(BIN, enc, enc + ".out", key, cert)
        if r.returncode == 0 or os.path.exists(enc + ".out") or "PdfEncryptedUnsupported" not in r.stderr:
            failures.append("encrypted: not refused cleanly: %s" % r.stderr)
        else:
            print("%-26s refused: %s" % ("encrypted.pdf", r.stderr.strip()))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
