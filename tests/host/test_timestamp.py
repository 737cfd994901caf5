"""Time-stamped signatures through the real kelvane loop: "TimestampURL" in attrs makes the
library ask a time-stamp authority (a local one, tests/host/tsakit.py, on 127.0.0.1) for a
token over the signature value. Tokens are checked with `openssl ts -verify`, signatures with
`openssl cms -verify` and pdfsig; each way the TSA can fail gives its word and no file."""
import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
import tsakit  # noqa: E402
from hostkit import Host  # noqa: E402
from test_host_e2e import make_pdf, pdf_signature_parts, pdfsig_verdicts  # noqa: E402
import test_host_e2e  # noqa: E402

from asn1crypto import cms, tsp  # noqa: E402

ROOT = None
CRED = None
TSA = None
TOKEN_OID = "1.2.840.113549.1.9.16.2.14"


def setUpModule():
    global ROOT, CRED, TSA
    ROOT = tempfile.mkdtemp(prefix="kelvane-tsa-")
    test_host_e2e.ROOT = ROOT  # pdfsig_verdicts keeps its scratch HOME there
    CRED = hostkit.Credential(ROOT)
    TSA = tsakit.TLocalTsa()


def tearDownModule():
    TSA.close()
    shutil.rmtree(ROOT, ignore_errors=True)


def env(**extra):
    """The signer's environment without any proxy: nothing leaves 127.0.0.1."""
    result = CRED.env(DORVIK_SELECT="first", **extra)
    for name in tsakit.PROXY_VARIABLES:
        result.pop(name, None)
    result.update({k: v for k, v in extra.items() if v is not None})
    return result


def signer_parts(der):
    """(signature value, unsigned attributes of the first signer) of a CMS."""
    info = cms.ContentInfo.load(der)["content"]["signer_infos"][0]
    return info, info["signature"].native, info["unsigned_attrs"]


def tokens_of(der):
    _, _, unsigned = signer_parts(der)
    if unsigned.native is None:
        return []
    return [attr["values"][0].dump() for attr in unsigned if attr["type"].dotted == TOKEN_OID]


def der_split(data):
    """(tag byte, content, rest) of the first DER element of data."""
    tag, first = data[0], data[1]
    if first < 0x80:
        head, length = 2, first
    else:
        n = first & 0x7F
        head, length = 2 + n, int.from_bytes(data[2:2 + n], "big")
    return tag, data[head:head + length], data[head + length:]


def der_join(tag, content):
    n = len(content)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes(
        (n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


def der_children(content):
    out = []
    while content:
        tag, inner, content = der_split(content)
        out.append((tag, inner))
    return out


def der_without(element, path):
    """The element with the child at the end of path (indices, -1 the last) left out, every
    length on the way rewritten and nothing else touched."""
    tag, content, _ = der_split(element)
    children = der_children(content)
    index = path[0] if path[0] >= 0 else len(children) + path[0]
    if len(path) == 1:
        del children[index]
    else:
        children[index] = (children[index][0], der_split(der_without(der_join(*children[index]), path[1:]))[1])
    return der_join(tag, b"".join(der_join(t, c) for t, c in children))


class Stamped(unittest.TestCase):
    def setUp(self):
        TSA.mode = "ok"
        TSA.queries.clear()
        self.dir = tempfile.mkdtemp(dir=ROOT)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def sign(self, request, timeout=60, **extra):
        host = Host(env=env(**extra))
        try:
            host.send(request)
            return host.read_frame(timeout)[0]
        finally:
            self.assertEqual(host.terminate(), 0)

    def check_token_over_signature(self, der, expect_policy=None, expect_hash="sha256"):
        _, value, _ = signer_parts(der)
        tokens = tokens_of(der)
        self.assertEqual(len(tokens), 1)
        ok, why = TSA.verify_token(tokens[0], value)
        self.assertTrue(ok, why)
        info = cms.ContentInfo.load(tokens[0])["content"]["encap_content_info"]["content"].parsed
        self.assertEqual(info["message_imprint"]["hash_algorithm"]["algorithm"].native, expect_hash)
        self.assertEqual(info["message_imprint"]["hashed_message"].native, hashlib.new(expect_hash, value).digest())
        if expect_policy:
            self.assertEqual(info["policy"].dotted, expect_policy)
        return tokens[0]

    def test_cms_file_carries_a_token_over_its_signature_value(self):
        data = "Contrato de locação\n".encode() * 50
        doc = self.write("contrato.txt", data)
        trace = os.path.join(self.dir, "trace")
        answer = self.sign({"action": "sign", "filename": doc, "type": "CMS", "hash": "sha256",
                            "attrs": ["Dettached", "1", "TimestampURL", TSA.url]}, KELVANE_TRACE_FILE=trace)
        self.assertEqual(answer, {"action": "signed", "type": "CMS", "signedfilename": doc + ".p7s"})
        ok, why = CRED.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)
        with open(doc + ".p7s", "rb") as f:
            der = f.read()
        token = self.check_token_over_signature(der)

        # What the TSA was sent: one POST of a TimeStampReq over the signature value.
        self.assertEqual(len(TSA.queries), 1)
        path, headers, body = TSA.queries[0]
        self.assertEqual(path, "/tsa")
        self.assertEqual(headers.get("Content-Type"), "application/timestamp-query")
        query = tsp.TimeStampReq.load(body)
        self.assertEqual(query["version"].native, "v1")
        self.assertTrue(query["cert_req"].native)
        self.assertIsNotNone(query["nonce"].native)
        self.assertIsNone(query["req_policy"].native)
        info = cms.ContentInfo.load(token)["content"]["encap_content_info"]["content"].parsed
        self.assertEqual(info["nonce"].native, query["nonce"].native)

        # The token is the last thing of the signer: the bytes before it are those of a
        # signature without it, which openssl verifies the same.
        signer, value, unsigned = signer_parts(der)
        self.assertTrue(signer.contents.endswith(unsigned.dump()))
        self.assertTrue(signer.contents[:-len(unsigned.dump())].endswith(signer["signature"].dump()))
        # ContentInfo > [0] > SignedData > signerInfos (last) > SignerInfo > its [1] left out.
        stripped = der_without(der, [1, 0, -1, 0, -1])
        self.assertEqual(cms.ContentInfo.load(stripped)["content"]["signer_infos"][0]["unsigned_attrs"].native, None)
        self.assertEqual(cms.ContentInfo.load(stripped)["content"]["signer_infos"][0]["signature"].native, value)
        ok, why = CRED.verify(self.write("bare.p7s", stripped), doc)
        self.assertTrue(ok, why)

        # The report takes the stamp's moment as the reference moment.
        code, report, _, _ = tsakit.pkikit.TPki.verify(TSA.pki, doc + ".p7s", "--content", doc,
                                                       "--trusted", TSA.pki.trusted)
        self.assertIsNotNone(report)
        self.assertEqual(report.text("Signers\\Signer\\Signature\\MomentType"), "TST")
        stamp = report.find("Signers\\Signer\\UnsignedAttributes\\Timestamp")
        self.assertIsNotNone(stamp)
        self.assertEqual(stamp.get("Status") or stamp.findtext("Status"), "OK")
        with open(trace, encoding="utf-8") as f:
            self.assertIn("Attr TimestampURL = " + TSA.url, f.read().splitlines())

    def test_content_request_with_policy_digest_and_basic_authentication(self):
        TSA.mode = "auth"
        trace = os.path.join(self.dir, "trace")
        answer = self.sign({"action": "sign", "content": base64.b64encode(b"conteudo").decode(), "type": "CMS",
                            "attrs": ["TimestampURL", TSA.url, "TimestampPolicy", "1.3.6.1.4.1.61524.9.2",
                                      "TimestampHash", "sha512", "TimestampUser", TSA.user,
                                      "TimestampPassword", TSA.password, "TimestampTimeout", "20"]},
                           KELVANE_TRACE_FILE=trace)
        self.assertEqual(answer["action"], "signed", answer)
        der = base64.b64decode(answer["signed"])
        self.check_token_over_signature(der, expect_policy="1.3.6.1.4.1.61524.9.2", expect_hash="sha512")
        query = tsp.TimeStampReq.load(TSA.queries[0][2])
        self.assertEqual(query["req_policy"].dotted, "1.3.6.1.4.1.61524.9.2")
        with open(trace, "rb") as f:
            text = f.read()
        self.assertNotIn(TSA.password.encode(), text)
        self.assertIn(b"Attr TimestampPassword = (hidden)", text)

        # A wrong password is the authority's refusal at the HTTP level.
        answer = self.sign({"action": "sign", "content": base64.b64encode(b"conteudo").decode(), "type": "CMS",
                            "attrs": ["TimestampURL", TSA.url, "TimestampUser", TSA.user,
                                      "TimestampPassword", "wrong"]})
        self.assertEqual(answer, {"action": "error", "error": "TimestampUnavailable"})

    def test_pades_both_roads_carry_a_token_and_pdfsig_accepts_them(self):
        pdf = self.write("doc.pdf", make_pdf())
        signed = pdf[:-4] + ".signed.pdf"
        twice = pdf[:-4] + ".signed.signed.pdf"
        request = {"action": "sign", "filename": pdf, "type": "PADES", "hash": "sha256",
                   "attrs": ["TimestampURL", TSA.url]}
        self.assertEqual(self.sign(request, 120)["action"], "signed")
        self.assertEqual(pdfsig_verdicts(signed), ["Signature is Valid."])
        self.assertEqual(subprocess.run(["qpdf", "--check", signed], capture_output=True).returncode, 0)
        with open(signed, "rb") as f:
            first = f.read()
        covered, der = pdf_signature_parts(first)
        self.check_token_over_signature(der)
        ok, why = CRED.verify(self.write("pdf.p7s", der), self.write("covered", covered))
        self.assertTrue(ok, why)

        # The incremental road (the document holds a signature already).
        request["filename"] = signed
        self.assertEqual(self.sign(request, 120)["action"], "signed")
        self.assertEqual(pdfsig_verdicts(twice), ["Signature is Valid.", "Signature is Valid."])
        self.assertEqual(subprocess.run(["qpdf", "--check", twice], capture_output=True).returncode, 0)
        with open(twice, "rb") as f:
            second = f.read()
        self.assertEqual(second[:len(first)], first)
        covered, der = pdf_signature_parts(second)
        self.check_token_over_signature(der)
        code, report, _, _ = tsakit.pkikit.TPki.verify(TSA.pki, twice, "--trusted", TSA.pki.trusted)
        self.assertIsNotNone(report)
        moments = [node.text for node in report.root.iter("MomentType")]
        self.assertEqual(moments.count("TST"), 2, moments)

    def test_each_failure_of_the_authority_gives_its_word_and_no_file(self):
        doc = self.write("a.txt", b"abc")
        pdf = self.write("b.pdf", make_pdf())
        cases = [("reject", "TimestampRejected"), ("nonce", "TimestampInvalid"), ("imprint", "TimestampInvalid"),
                 ("garbage", "TimestampInvalid"), ("500", "TimestampUnavailable"),
                 ("silent", "TimestampUnavailable")]
        for mode, word in cases:
            TSA.mode = mode
            for name, kind in ((doc, "CMS"), (pdf, "PADES")):
                with self.subTest(mode=mode, type=kind):
                    answer = self.sign({"action": "sign", "filename": name, "type": kind,
                                        "attrs": ["TimestampURL", TSA.url, "TimestampTimeout", "1"]})
                    self.assertEqual(answer, {"action": "error", "error": word})
                    self.assertEqual(sorted(os.listdir(self.dir)), ["a.txt", "b.pdf"])
        TSA.mode = "ok"
        # Nothing listens there; only http and https are asked.
        closed = tsakit.closed_port_url()
        for url in (closed, "ftp://127.0.0.1:%d/tsa" % TSA.port, "file:///etc/passwd", "127.0.0.1/tsa"):
            with self.subTest(url=url):
                answer = self.sign({"action": "sign", "filename": doc, "type": "CMS",
                                    "attrs": ["TimestampURL", url]})
                self.assertEqual(answer, {"action": "error", "error": "TimestampUnavailable"})
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.txt", "b.pdf"])
        self.assertEqual(len([q for q in TSA.queries if q[0] != "/tsa"]), 0)

    def test_https_authority_whose_certificate_is_not_trusted_is_not_asked(self):
        tls = tsakit.TLocalTsa(TSA.pki, tls=True)
        try:
            doc = self.write("t.txt", b"over tls")
            answer = self.sign({"action": "sign", "filename": doc, "type": "CMS",
                                "attrs": ["TimestampURL", tls.url]})
            self.assertEqual(answer, {"action": "error", "error": "TimestampUnavailable"})
            self.assertEqual(tls.queries, [])
            self.assertEqual(os.listdir(self.dir), ["t.txt"])
        finally:
            tls.close()

    def test_proxy_from_the_environment_is_used(self):
        # The local TSA also answers as an HTTP proxy: the request line names the full URL of a
        # host that does not exist, and the answer still arrives.
        doc = self.write("p.txt", b"via proxy")
        answer = self.sign({"action": "sign", "filename": doc, "type": "CMS",
                            "attrs": ["TimestampURL", "http://tsa.example.invalid/carimbo"]},
                           http_proxy="http://127.0.0.1:%d" % TSA.port)
        self.assertEqual(answer["action"], "signed", answer)
        self.assertEqual([q[0] for q in TSA.queries], ["http://tsa.example.invalid/carimbo"])
        with open(doc + ".p7s", "rb") as f:
            self.check_token_over_signature(f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
