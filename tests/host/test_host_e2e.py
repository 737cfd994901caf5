"""kelvane end to end: the real program on pipes, frames in both directions, a scratch HOME
with an NSS database. Signatures are checked with openssl cms -verify."""
import base64
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
from hostkit import Host  # noqa: E402

ROOT = None
CRED = None
CAN_SIGN = False
STORES = False
NO_SIGNING = "libdorvik cannot sign yet (SIGNEDDATA answers SignedDataUnavailable)"
NO_STORES = "the certificate stores do not list certificates yet"


def setUpModule():
    global ROOT, CRED, CAN_SIGN, STORES
    ROOT = tempfile.mkdtemp(prefix="kelvane-e2e-")
    CRED = hostkit.Credential(ROOT)
    CAN_SIGN = hostkit.library_can_sign()
    STORES = hostkit.stores_list(CRED)


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


def cancelled_env(**extra):
    return CRED.env(DORVIK_SELECT="cancel", **extra)


SIGN_CANCELLED = {"action": "sign", "content": "aGVsbG8=", "type": "CMS"}
NOT_SELECTED = {"action": "error", "error": "CertificateNotSelected"}


class Framing(unittest.TestCase):
    """What arrives on standard input, well formed or not; the host keeps serving."""

    def test_answers_are_compact_framed_json_in_member_order(self):
        host = Host(env=cancelled_env())
        try:
            host.send(SIGN_CANCELLED)
            answer, raw = host.read_frame()
            self.assertEqual(raw, b'{"action":"error","error":"CertificateNotSelected"}')
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_silent_requests_answer_nothing_and_the_next_frame_is_served(self):
        host = Host(env=cancelled_env())
        try:
            silent = [
                struct.pack("<I", 0),                            # empty frame
                hostkit.frame(b"not json at all"),
                hostkit.frame(b'{"action":"sign"} {"action":"sign"}'),  # two values: members empty
                hostkit.frame(b'{"action":"s\xffign"}'),         # invalid UTF-8
                hostkit.frame(b'["sign"]'),                      # JSON, not an object
                hostkit.frame(b'"sign"'),
                hostkit.frame({"action": "Sign", "content": "aGVsbG8="}),  # actions are case-sensitive
                hostkit.frame({"action": 7}),
                hostkit.frame({"content": "aGVsbG8="}),          # no action
                hostkit.frame({"action": "finish"}),
            ]
            for data in silent:
                host.send_raw(data)
                host.send(SIGN_CANCELLED)
                answer, _ = host.read_frame()
                self.assertEqual(answer, NOT_SELECTED, data)
            self.assertTrue(host.no_more_output())
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_body_shorter_than_announced_is_handled_at_end_of_input(self):
        host = Host(env=cancelled_env())
        body = json.dumps(SIGN_CANCELLED).encode()
        host.send_raw(struct.pack("<I", len(body) + 500) + body)
        host.close_input()
        try:
            answer, _ = host.read_frame()
            self.assertEqual(answer, NOT_SELECTED)
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_prefix_cut_by_end_of_input_is_the_end(self):
        host = Host(env=cancelled_env())
        host.send_raw(b"\x05\x00")
        host.close_input()
        self.assertTrue(host.no_more_output(0.5))
        self.assertEqual(host.terminate(), 0)

    def test_huge_prefix_takes_memory_only_as_bytes_arrive(self):
        # 250 MiB announced (under the limit, so kept), 2 GiB - 1 announced (read past):
        # neither reserves its length before the bytes come.
        for announced in (250 * 1024 * 1024, 0x7FFFFFFF):
            host = Host(env=cancelled_env())
            try:
                host.send(SIGN_CANCELLED)
                host.read_frame()
                base = host.rss_kib()
                host.send_raw(struct.pack("<I", announced) + b"x" * (1 << 20))
                host.no_more_output(0.5)
                self.assertIsNone(host.proc.poll())
                self.assertLess(host.rss_kib() - base, 64 * 1024, announced)
            finally:
                self.assertEqual(host.terminate(), 0)

    def test_request_above_the_limit_is_read_past_and_refused(self):
        host = Host(env=cancelled_env())
        try:
            size = 256 * 1024 * 1024 + 1
            host.send_raw(struct.pack("<I", size))
            chunk = b"z" * (1 << 20)
            left = size
            while left:
                part = chunk[:min(left, len(chunk))]
                host.send_raw(part)
                left -= len(part)
            host.send(SIGN_CANCELLED)
            self.assertEqual(host.read_frame()[0], {"action": "error", "error": "RequestTooLarge"})
            self.assertEqual(host.read_frame()[0], NOT_SELECTED)
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_large_body_arriving_in_many_pipe_reads(self):
        # 3 MiB of base64 content: many 64 KiB pipe reads for one body.
        host = Host(env=cancelled_env())
        try:
            content = base64.b64encode(os.urandom(3 * 1024 * 1024 // 4 * 3)).decode()
            host.send({"action": "sign", "content": content})
            self.assertEqual(host.read_frame()[0], NOT_SELECTED)
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_negative_prefix_reads_no_body_and_the_next_frame_is_answered(self):
        # A prefix with its top bit set is a negative length: no body, the pass ends. Read as
        # a 2-4 GiB body it would swallow the request behind it, which then goes unanswered.
        host = Host(env=cancelled_env())
        try:
            for prefix in (0x80000000, 0x80000005, 0xFFFFFFFF):
                host.send_raw(struct.pack("<I", prefix))
                host.send(SIGN_CANCELLED)
                self.assertEqual(host.read_frame(10)[0], NOT_SELECTED, hex(prefix))
            self.assertTrue(host.no_more_output())
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_terminate_signal_ends_a_waiting_host(self):
        for sig in ("SIGTERM", "SIGINT", "SIGHUP"):
            host = Host(env=cancelled_env())
            host.send(SIGN_CANCELLED)
            host.read_frame()  # serving: the handlers are in place
            import signal
            host.proc.send_signal(getattr(signal, sig))
            self.assertEqual(host.wait(5), 0, sig)


class SignSteps(unittest.TestCase):
    """The sign steps up to the certificate and their failure words."""

    def test_attrs_that_are_not_pairs_fail_the_request(self):
        host = Host(env=cancelled_env())
        try:
            for attrs in ("a", ["a"], ["a", "1", "b"], {"a": "1"}, [["a"], "1"]):
                host.send({"action": "sign", "content": "aGVsbG8=", "attrs": attrs})
                self.assertEqual(host.read_frame()[0], {"action": "error", "error": "InvalidAttributes"}, attrs)
            for attrs in (None, [], ["a", "1"]):
                host.send({"action": "sign", "content": "aGVsbG8=", "attrs": attrs})
                self.assertEqual(host.read_frame()[0], NOT_SELECTED, attrs)
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_no_selection_without_display_or_rule(self):
        for env in (CRED.env(), CRED.env(DORVIK_SELECT="cancel"), CRED.env(DORVIK_SELECT="0" * 40)):
            host = Host(env=env)
            try:
                host.send({"action": "sign", "filename": os.path.join(ROOT, "missing.txt")})
                self.assertEqual(host.read_frame()[0], NOT_SELECTED)
            finally:
                self.assertEqual(host.terminate(), 0)

    def test_nothing_written_without_a_trace_file(self):
        with tempfile.TemporaryDirectory() as cwd:
            host = Host(env=cancelled_env(), cwd=cwd)
            host.send({"action": "sign", "filename": "doc.txt"})
            host.read_frame()
            host.terminate()
            self.assertEqual(os.listdir(cwd), [])
            self.assertEqual(host.stderr, b"")


class Modes(unittest.TestCase):

    def digest(self, *args):
        proc = subprocess.run([hostkit.KELVANE, *args], env=cancelled_env(), capture_output=True, timeout=60)
        self.assertEqual(proc.returncode, 0)
        n = struct.unpack("<I", proc.stdout[:4])[0]
        self.assertEqual(len(proc.stdout), 4 + n)
        return json.loads(proc.stdout[4:].decode("utf-8")), proc.stdout[4:]

    def test_digest_mode_against_hashlib(self):
        path = os.path.join(ROOT, "relatório ação.bin")
        data = os.urandom(100_000)
        with open(path, "wb") as f:
            f.write(data)
        for arg, name in (("sha256", "sha256"), ("SHA384", "sha384"), ("sha512", "sha512"), ("sha224", "sha224"),
                          ("sha-256", "sha1"), ("", "sha1"), ("2.16.840.1.101.3.4.2.1", "sha1")):
            answer, raw = self.digest("/Mode=DIGEST", "/File=" + path, "-hash:" + arg)
            self.assertEqual(list(answer), ["file", "hash"])
            self.assertEqual(answer, {"file": path, "hash": hashlib.new(name, data).hexdigest().upper()}, arg)

    def test_digest_mode_forms_and_empty_answers(self):
        self.assertEqual(self.digest("-MODE=digest")[1], b'{"file":"","hash":""}')
        missing = os.path.join(ROOT, "missing")
        self.assertEqual(self.digest("//'Mode'/Digest", "//|File|/" + missing)[0], {"file": missing, "hash": ""})

    def test_sign_and_select_modes_write_nothing_without_a_certificate(self):
        doc = os.path.join(ROOT, "mode-doc.txt")
        with open(doc, "w") as f:
            f.write("text")
        for args in (["/Mode:sign", "/File=" + doc], ["-mode=SELECT"]):
            proc = subprocess.run([hostkit.KELVANE, *args], env=cancelled_env(), capture_output=True, timeout=60)
            self.assertEqual((proc.returncode, proc.stdout), (0, b""))
        self.assertFalse(os.path.exists(doc + ".p7s"))

    def test_mode_results_in_the_trace(self):
        trace = os.path.join(ROOT, "mode.trace")
        doc = os.path.join(ROOT, "mode-doc2.txt")
        open(doc, "w").close()
        subprocess.run([hostkit.KELVANE, "/Mode=SIGN", "/File=" + doc],
                       env=cancelled_env(KELVANE_TRACE_FILE=trace), timeout=60, check=True)
        subprocess.run([hostkit.KELVANE, "/Mode=DIGEST"], env=cancelled_env(KELVANE_TRACE_FILE=trace),
                       timeout=60, check=True, capture_output=True)
        with open(trace, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertIn("Code: FailedToSelect", lines)
        self.assertIn("Code: Done", lines)
        self.assertEqual(lines[0], "{")
        self.assertEqual(lines[-1], "}")


class Signing(unittest.TestCase):
    """Real signatures, checked by openssl. Every dependency is installed where these run: a
    store that lists nothing or a library that cannot sign is a failure, not a reason to skip."""

    def setUp(self):
        self.assertTrue(STORES, NO_STORES)
        self.dir = tempfile.mkdtemp(dir=ROOT)

    def need_signing(self):
        self.assertTrue(CAN_SIGN, NO_SIGNING)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_missing_file_fails_to_load_after_selection(self):
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            for name in ("missing.txt", "não existe ç.pdf"):
                host.send({"action": "sign", "filename": os.path.join(self.dir, name), "type": "PADES"})
                self.assertEqual(host.read_frame()[0], {"action": "error", "error": "FailedToLoad"})
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_select_mode_names_the_certificate_by_code(self):
        trace = os.path.join(self.dir, "trace")
        subprocess.run([hostkit.KELVANE, "/Mode=SELECT"], env=CRED.env(DORVIK_SELECT=CRED.code.lower(),
                       KELVANE_TRACE_FILE=trace), check=True, timeout=60)
        with open(trace, encoding="utf-8") as f:
            self.assertIn("Code: Signer " + CRED.code, f.read().splitlines())

    def test_file_and_content_requests_verify(self):
        self.need_signing()
        data = os.urandom(5000) + "ação".encode()
        doc = self.write("relatório final.pdf", data)
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send({"action": "sign", "filename": doc, "type": "", "hash": "sha256"})
            answer, _ = host.read_frame()
            self.assertEqual(answer, {"action": "signed", "type": "", "signedfilename": doc + ".p7s"})
            ok, why = CRED.verify(doc + ".p7s", doc)
            self.assertTrue(ok, why)
            self.assertFalse([n for n in os.listdir(self.dir) if n.endswith(".~tmp")])
            with open(doc + ".p7s", "rb") as f:
                self.assertIn(data, f.read())  # the request carries no "Dettached": content embedded

            content = base64.encodebytes(data).decode()  # with line breaks
            host.send({"action": "sign", "filename": doc, "content": content, "type": "CMS", "hash": "SHA512",
                       "attrs": ["Dettached", "1"]})
            answer, _ = host.read_frame()
            self.assertEqual(list(answer), ["action", "type", "signed"])
            self.assertEqual((answer["action"], answer["type"]), ("signed", "CMS"))
            self.assertNotIn("\n", answer["signed"])
            signature = base64.b64decode(answer["signed"])
            self.assertNotIn(data, signature)
            sig = self.write("content.p7s", signature)
            ok, why = CRED.verify(sig, doc)
            self.assertTrue(ok, why)
            tampered = self.write("tampered", data[:-1] + b"!")
            self.assertFalse(CRED.verify(sig, tampered)[0])
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_attributes_carry_over_to_later_requests(self):
        self.need_signing()
        doc = self.write("a.txt", b"abc")
        trace = os.path.join(self.dir, "trace")
        host = Host(args=["/attrPolicy=cmd"], env=CRED.env(DORVIK_SELECT="first", KELVANE_TRACE_FILE=trace))
        try:
            host.send({"action": "sign", "filename": doc, "attrs": ["Reason", "first", "Place", "here"]})
            self.assertEqual(host.read_frame()[0]["action"], "signed")
            host.send({"action": "sign", "filename": doc, "attrs": ["reason", "second"]})
            self.assertEqual(host.read_frame()[0]["action"], "signed")
        finally:
            host.terminate()
        with open(trace, encoding="utf-8") as f:
            lines = f.read().splitlines()
        second = lines[max(i for i, l in enumerate(lines) if l == "PutSignature {"):]
        self.assertIn("Attr POLICY = cmd", second)
        self.assertIn("Attr Reason = second", second)
        self.assertIn("Attr Place = here", second)

    def test_sign_mode_writes_p7s_for_every_type(self):
        self.need_signing()
        doc = self.write("x.txt", b"sign mode")
        subprocess.run([hostkit.KELVANE, "/Mode=SIGN", "/File=" + doc, "/Hash=sha256"],
                       env=CRED.env(DORVIK_SELECT="first"), check=True, timeout=120)
        ok, why = CRED.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)

    def test_pades_on_a_pdf_answers_forward_slashes(self):
        self.need_signing()
        pdf = self.write("doc.pdf", MINIMAL_PDF)
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send({"action": "sign", "filename": pdf.replace("/", "\\"), "type": "pades", "hash": "sha256"})
            answer, _ = host.read_frame(120)
            self.assertEqual(answer, {"action": "signed", "type": "pades",
                                      "signedfilename": pdf[:-4] + ".signed.pdf"})
            with open(pdf[:-4] + ".signed.pdf", "rb") as f:
                signed = f.read()
            self.assertTrue(signed.startswith(b"%PDF-1.6\n"), signed[:40])
            self.assertEqual(pdfsig_verdicts(pdf[:-4] + ".signed.pdf"), ["Signature is Valid."])
            covered, cms = pdf_signature_parts(signed)
            ok, why = CRED.verify(self.write("pdf.p7s", cms), self.write("covered", covered))
            self.assertTrue(ok, why)
            self.assertFalse(os.path.exists(pdf + ".p7s"))
        finally:
            host.terminate()

    def test_file_name_holding_a_zero_byte_is_refused_and_the_document_stays(self):
        # The kernel stops at the zero byte: "doc\0.p7s" would name the document itself, and
        # the signature would be written over it.
        data = b"the document " + os.urandom(300)
        doc = self.write("doc.txt", data)
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            for name, kind in ((doc + "\u0000", "CMS"), (doc + "\u0000", "PADES"), (doc + "\u0000.txt", "CMS"),
                               (self.dir + "\u0000/doc.txt", "CMS")):
                host.send({"action": "sign", "filename": name, "type": kind})
                self.assertEqual(host.read_frame(60)[0], {"action": "error", "error": "FailedToLoad"}, (name, kind))
        finally:
            self.assertEqual(host.terminate(), 0)
        with open(doc, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(sorted(os.listdir(self.dir)), ["doc.txt"])

    def test_attributes_naming_the_signer_or_its_key_are_refused(self):
        data = b"what the user agreed to sign"
        doc = self.write("consent.txt", data)
        page = hostkit.Credential(os.path.join(self.dir, "page"), name="Page Key")
        page_p12 = os.path.join(self.dir, "page", "signer.p12")
        trace = os.path.join(self.dir, "trace")
        refused = [["CertificateCode", page.code], ["certificatecode", CRED.code],
                   ["CertificateFileName", page_p12, "CertificateFilePwd", "test"],
                   ["CERTIFICATEFILENAME", page_p12], ["CertificateFilePwd", "test"],
                   ["Dettached", "1", "Pvk", "MIIBOgIBAAJBAK"], ["pvk", "x"],
                   ["CertificateStore", "1"], ["CertificateData", "00"], ["CertificatePwd", "x"],
                   ["CertificateLocal", "1"], ["Code", page.code], ["Store", "1"], ["FileName", page_p12],
                   ["FilePwd", "test"], ["Data", "00"], ["Pwd", "x"], ["Local", "1"]]
        # Refused before the dialog: with the choice cancelled the word is still the refusal.
        host = Host(env=cancelled_env())
        try:
            for attrs in refused:
                host.send({"action": "sign", "filename": doc, "type": "CMS", "attrs": attrs})
                self.assertEqual(host.read_frame()[0], {"action": "error", "error": "AttributeNotAllowed"}, attrs)
        finally:
            self.assertEqual(host.terminate(), 0)
        host = Host(env=CRED.env(DORVIK_SELECT="first", KELVANE_TRACE_FILE=trace))
        try:
            for attrs in refused:
                host.send({"action": "sign", "filename": doc, "type": "CMS", "attrs": attrs})
                self.assertEqual(host.read_frame(60)[0], {"action": "error", "error": "AttributeNotAllowed"}, attrs)
            self.assertEqual(sorted(os.listdir(self.dir)), ["consent.txt", "page", "trace"])
            # Nothing of a refused list stays for later requests; other attributes keep working.
            host.send({"action": "sign", "filename": doc, "type": "CMS", "hash": "sha256",
                       "attrs": ["Dettached", "1", "Order", "ContentType,MessageDigest,SigningCertificate"]})
            self.assertEqual(host.read_frame(60)[0], {"action": "signed", "type": "CMS",
                                                     "signedfilename": doc + ".p7s"})
        finally:
            self.assertEqual(host.terminate(), 0)
        ok, why = CRED.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)
        self.assertFalse(page.verify(doc + ".p7s", doc)[0])
        with open(doc + ".p7s", "rb") as f:
            self.assertNotIn(data, f.read())  # "Dettached" applied
        with open(trace, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines.count("PutSignature {"), 1)
        self.assertIn("Signer: " + CRED.code, lines)
        self.assertFalse([l for l in lines if l.split(" = ")[0] in
                          ("Attr " + a for a in ("CertificateCode", "CertificateFileName", "Pvk", "Code"))], lines)

        # Whoever installed the host may still name a key file on kelvane's command line.
        os.remove(doc + ".p7s")
        host = Host(args=["/attrCertificateFileName=" + page_p12, "/attrCertificateFilePwd=test"],
                    env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send({"action": "sign", "filename": doc, "type": "CMS"})
            self.assertEqual(host.read_frame(60)[0]["action"], "signed")
        finally:
            self.assertEqual(host.terminate(), 0)
        ok, why = page.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)

    def test_pdf_that_is_already_signed_is_signed_again_and_the_first_stays_valid(self):
        pdf = self.write("contract.pdf", MINIMAL_PDF)
        signed = pdf[:-4] + ".signed.pdf"
        twice = pdf[:-4] + ".signed.signed.pdf"
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send({"action": "sign", "filename": pdf, "type": "PADES", "hash": "sha256"})
            self.assertEqual(host.read_frame(120)[0]["action"], "signed")
            self.assertEqual(pdfsig_verdicts(signed), ["Signature is Valid."])
            with open(signed, "rb") as f:
                before = f.read()
            # A second signature is appended; the bytes the first one covers are not touched.
            host.send({"action": "sign", "filename": signed, "type": "PADES", "hash": "sha256"})
            self.assertEqual(host.read_frame(120)[0]["action"], "signed")
            host.send({"action": "sign", "content": base64.b64encode(before).decode(), "type": "pades"})
            answer = host.read_frame(120)[0]
            self.assertEqual(answer["action"], "signed")
        finally:
            self.assertEqual(host.terminate(), 0)
        with open(signed, "rb") as f:
            self.assertEqual(f.read(), before)
        with open(twice, "rb") as f:
            self.assertEqual(f.read(len(before)), before)
        self.assertEqual(base64.b64decode(answer["signed"])[:len(before)], before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["contract.pdf", "contract.signed.pdf",
                                                        "contract.signed.signed.pdf"])
        self.assertEqual(pdfsig_verdicts(signed), ["Signature is Valid."])
        self.assertEqual(pdfsig_verdicts(twice), ["Signature is Valid.", "Signature is Valid."])

    def test_oversized_answer_is_refused(self):
        self.need_signing()
        pdf = make_pdf(b"x" * (1200 * 1024))
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send({"action": "sign", "content": base64.b64encode(pdf).decode(), "type": "PADES"})
            answer, raw = host.read_frame(120)
            self.assertEqual(raw, b'{"action":"error","error":"ResponseTooLarge"}')
        finally:
            host.terminate()


def pdfsig_verdicts(signed_path):
    """poppler's "Signature Validation" line of every signature of the file."""
    home = tempfile.mkdtemp(dir=ROOT)  # pdfsig keeps to a database of its own
    result = subprocess.run(["pdfsig", signed_path], env=hostkit.clean_env(HOME=home), capture_output=True,
                            timeout=60)
    text = result.stdout.decode(errors="replace")
    return [line.split(":", 1)[1].strip() for line in text.splitlines()
            if line.strip().startswith("- Signature Validation:")]


def make_pdf(padding=b""):
    """A one-page PDF with a correct cross-reference table; padding goes into a comment."""
    objects = [b"<</Type/Catalog/Pages 2 0 R>>", b"<</Type/Pages/Kids[3 0 R]/Count 1>>",
               b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>"]
    out = b"%PDF-1.4\n" + (b"%" + padding + b"\n" if padding else b"")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    return out + b"trailer\n<</Size %d/Root 1 0 R>>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)


MINIMAL_PDF = make_pdf()


def pdf_signature_parts(signed):
    """The bytes a PDF signature covers and its CMS, from /ByteRange and /Contents."""
    import re
    ranges = re.findall(rb"/ByteRange\s*\[\s*(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s*\]", signed)
    a, b, c, d = map(int, ranges[-1])
    covered = signed[a:a + b] + signed[c:c + d]
    contents = bytes.fromhex(signed[a + b:c].strip(b"<>").decode())
    assert contents[0] == 0x30 and contents[1] == 0x82
    return covered, contents[:4 + int.from_bytes(contents[2:4], "big")]


if __name__ == "__main__":
    unittest.main(verbosity=2)
