"""PDFs written by outside tools at test time (cairo, ghostscript, mutool, qpdf with object
streams and linearized, a form filled in by mutool, files signed once by poppler's pdfsig and
once by kelvane itself), each signed through the real kelvane loop ("type" "PADES") with a
certificate from an NSS database. poppler's pdfsig must then list every signature as valid,
the last one covering the whole file, qpdf --check must be clean, and where the document is
signed by an incremental update the bytes before it must be those of the input."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
from hostkit import Host  # noqa: E402

ROOT = None
CRED = None

FORM_JS = r"""
var doc = new PDFDocument(scriptArgs[0]);
var page = doc.findPage(0);
function field(name, y, value) {
    var f = doc.newDictionary();
    f.put("Type", doc.newName("Annot"));
    f.put("Subtype", doc.newName("Widget"));
    f.put("FT", doc.newName("Tx"));
    f.put("T", doc.newString(name));
    var r = doc.newArray(); r.push(10); r.push(y); r.push(150); r.push(y + 20);
    f.put("Rect", r);
    f.put("F", 4);
    f.put("P", page);
    f.put("V", doc.newString(value));
    f.put("DA", doc.newString("/Helv 12 Tf 0 g"));
    return doc.addObject(f);
}
var a = field("name", 10, "Ana");
var b = field("city", 40, "Recife");
var annots = doc.newArray(); annots.push(a); annots.push(b);
page.put("Annots", annots);
var fields = doc.newArray(); fields.push(a); fields.push(b);
var form = doc.newDictionary();
form.put("Fields", fields);
form.put("DA", doc.newString("/Helv 0 Tf 0 g"));
doc.getTrailer().get("Root").put("AcroForm", doc.addObject(form));
doc.save(scriptArgs[1], "garbage");
"""


def setUpModule():
    global ROOT, CRED
    ROOT = tempfile.mkdtemp(prefix="kelvane-pdf-corpus-")
    CRED = hostkit.Credential(ROOT, name="Corpus Signer")


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


def run(*args):
    return subprocess.run(list(args), capture_output=True, env=hostkit.clean_env(), check=True)


def make_corpus(d):
    """name -> path of each document, as the tools wrote it."""
    import cairo
    made = {}
    path = os.path.join(d, "cairo.pdf")
    surface = cairo.PDFSurface(path, 300, 300)
    context = cairo.Context(surface)
    context.move_to(20, 50)
    context.show_text("Hello from cairo")
    context.show_page()
    context.show_text("second page")
    surface.finish()
    made["cairo"] = path

    ps = os.path.join(d, "gs.ps")
    with open(ps, "w") as f:
        f.write("%!PS\n/Helvetica findfont 20 scalefont setfont 72 720 moveto (Hello ghostscript) show showpage\n"
                "72 720 moveto (page two) show showpage\n")
    run("gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite", "-o", os.path.join(d, "gs.pdf"), ps)
    made["gs"] = os.path.join(d, "gs.pdf")

    page = os.path.join(d, "page.txt")
    with open(page, "w") as f:
        f.write("%%MediaBox 0 0 200 200\nBT /F1 12 Tf 10 10 Td (hello mutool) Tj ET\n")
    run("mutool", "create", "-o", os.path.join(d, "mutool.pdf"), page)
    made["mutool"] = os.path.join(d, "mutool.pdf")

    script = os.path.join(d, "form.js")
    with open(script, "w") as f:
        f.write(FORM_JS)
    run("mutool", "run", script, made["mutool"], os.path.join(d, "form.pdf"))
    made["form"] = os.path.join(d, "form.pdf")

    # Each producer's file with object streams and a cross-reference stream, and linearized.
    for name in ("cairo", "gs", "mutool", "form"):
        streams = os.path.join(d, name + "-objstm.pdf")
        run("qpdf", "--object-streams=generate", made[name], streams)
        made[name + "-objstm"] = streams
    for name in ("cairo", "gs"):
        lin = os.path.join(d, name + "-linearized.pdf")
        run("qpdf", "--linearize", made[name], lin)
        made[name + "-linearized"] = lin
    lin = os.path.join(d, "cairo-linearized-objstm.pdf")
    run("qpdf", "--linearize", "--object-streams=generate", made["cairo"], lin)
    made["cairo-linearized-objstm"] = lin

    # Signed once by poppler's pdfsig (a classic file, and one with object streams).
    for name in ("gs", "cairo-objstm"):
        out = os.path.join(d, name + "-pdfsig.pdf")
        run("pdfsig", "-nssdir", "sql:" + CRED.db, "-nick", "Corpus Signer", "-add-signature", made[name], out)
        made[name + "-pdfsig"] = out
    return made


def sign(path):
    """The file signed through kelvane; returns the signed file's name."""
    host = Host(env=CRED.env(DORVIK_SELECT="first"))
    try:
        host.send({"action": "sign", "filename": path, "type": "PADES", "hash": "sha256"})
        answer, _ = host.read_frame(120)
    finally:
        host.terminate()
    signed = path[:-4] + ".signed.pdf"
    assert answer == {"action": "signed", "type": "PADES", "signedfilename": signed}, answer
    return signed


def pdfsig_report(path):
    out = subprocess.run(["pdfsig", "-nssdir", "sql:" + CRED.db, path], capture_output=True, text=True,
                         env=CRED.env())
    return out.stdout + out.stderr


def signatures(report):
    """Per signature: (valid, total document signed)."""
    blocks = re.split(r"\nSignature #\d+:", report)[1:]
    return [("Signature Validation: Signature is Valid." in b, "Total document signed" in b) for b in blocks]


def incremental_expected(data):
    """Whether the document is signed by an incremental update: a cross-reference stream last,
    linearized, or signed already."""
    at = int(re.findall(rb"startxref\s+(\d+)", data[-1024:])[-1])
    return (not data[at:].lstrip().startswith(b"xref") or b"/Linearized" in data[:1024]
            or b"/ByteRange" in data)


class Corpus(unittest.TestCase):

    def check(self, label, source, signed, count):
        with open(source, "rb") as f:
            before = f.read()
        with open(signed, "rb") as f:
            after = f.read()
        if incremental_expected(before):
            self.assertEqual(after[:len(before)], before, "%s: the earlier bytes changed" % label)
        check = subprocess.run(["qpdf", "--check", signed], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, "%s: qpdf --check: %s" % (label, check.stdout + check.stderr))
        self.assertNotIn("WARNING", check.stdout + check.stderr, label)
        report = pdfsig_report(signed)
        found = signatures(report)
        self.assertEqual(len(found), count, "%s: %s" % (label, report))
        self.assertTrue(all(valid for valid, _ in found), "%s: %s" % (label, report))
        self.assertTrue(found[-1][1], "%s: last signature does not cover the file: %s" % (label, report))
        return after

    def test_every_document_signs_through_kelvane(self):
        d = tempfile.mkdtemp(dir=ROOT)
        corpus = make_corpus(d)
        incremental = set()
        for name, path in sorted(corpus.items()):
            with self.subTest(document=name):
                with open(path, "rb") as f:
                    if incremental_expected(f.read()):
                        incremental.add(name)
                self.check(name, path, sign(path), 2 if name.endswith("-pdfsig") else 1)
        # The producers' own files have classic tables: the rewrite signs them in place.
        self.assertEqual(set(corpus) - incremental, {"cairo", "gs", "mutool", "form"})

    def test_three_signatures_in_a_row_on_streams_and_on_our_own_rewrite(self):
        d = tempfile.mkdtemp(dir=ROOT)
        corpus = make_corpus(d)
        # The form's first signature is the in-place rewrite; the next two are appended to it.
        for name in ("cairo-objstm", "form"):
            doc = corpus[name]
            for count in (1, 2, 3):
                signed = sign(doc)
                self.check("%s, signature %d" % (name, count), doc, signed, count)
                doc = signed
        # The form's fields are still there beside the three signatures.
        fields = subprocess.run(["qpdf", "--json=2", "--json-key=acroform", doc], capture_output=True, text=True)
        for field in ('"fullname": "name"', '"fullname": "city"', '"fullname": "DigitalSignature3"'):
            self.assertIn(field, fields.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
