"""The verification report and dorvik-verify over a PKI made with the openssl command line, case
by case beside what `openssl cms -verify`, `openssl verify [-crl_check]` and `openssl ts
-verify` conclude for the same files."""

import datetime
import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pkikit  # noqa: E402
from pkikit import run, now  # noqa: E402

from asn1crypto import cms, core, tsp  # noqa: E402

PKI = None
DAY = datetime.timedelta(days=1)
HOUR = datetime.timedelta(hours=1)


def setUpModule():
    global PKI
    PKI = pkikit.TPki()


def tearDownModule():
    PKI.scratch.cleanup()


def openssl_cms_ok(signature, *extra, content=None, ca=None):
    args = ["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", signature, "-out", os.devnull,
            "-purpose", "any"]
    args += ["-CAfile", ca] if ca else ["-no-CAfile", "-no-CApath"]
    if content:
        args += ["-content", content]
    result = run(*args, *extra, check=False)
    return result.returncode == 0, result.stderr.decode(errors="replace")


def openssl_verify(cert, *extra, ca=None):
    args = ["openssl", "verify", "-purpose", "any"]
    args += ["-CAfile", ca] if ca else ["-no-CAfile", "-no-CApath"]
    result = run(*args, *extra, cert, check=False)
    return result.returncode == 0, (result.stdout + result.stderr).decode(errors="replace")


def exceptions(report):
    return report.names("Header\\Exceptions")


class Chains(unittest.TestCase):
    """Valid, incomplete and untrusted chains, trusted folder, usages and validity."""

    def test_valid_chain_with_the_root_in_the_signature(self):
        sig, _ = PKI.sign("valid", b"Contrato de teste\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.chain)
        code, report, verdict, out = PKI.verify(sig, "--trusted", PKI.trusted)
        ok, err = openssl_cms_ok(sig, ca=PKI.ca.cert)
        self.assertTrue(ok, err)
        self.assertEqual(code, 0, out)
        self.assertEqual(verdict.root.tag, "RootValid")
        self.assertEqual(exceptions(report), ["RevocationUnverified"] * 3)
        signer = "Signers\\Signer\\Signature\\"
        for field in ("Status", "Integrity", "ContentValidation", "ContentTypeValidation"):
            self.assertEqual(report.text(signer + field), "OK", field)
        self.assertEqual(report.text(signer + "MomentType"), "SignedAttribute")
        self.assertEqual(len(report.names("Signers\\Signer\\Chain")), 3)
        self.assertEqual(report.text("Header\\Status"), "RevocationUnverified")
        # The chain's certificates in order, end entity first; the root is the trusted one.
        self.assertEqual([c.tag for c in verdict.find("SignerValid")
                          if c.tag.endswith("Valid") or c.tag.endswith("Alert")],
                         ["SignatureValid", "CertValid", "CAValid", "CAValid"])
        self.assertIn("TrustedRoot", [c.tag for c in verdict.find("SignerValid")[-1]])
        # The people's words, in Portuguese.
        self.assertIn("Documento com assinaturas válidas [RootValid]", out)

    def test_root_only_in_the_trusted_folder(self):
        sig, _ = PKI.sign("rootless", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
        self.assertTrue(openssl_cms_ok(sig, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 0)
        self.assertNotIn("IncompleteCertificateChain", exceptions(report))
        self.assertEqual(report.find("Header\\Resources").get("NeedUpdate"), None)

    def test_root_not_trusted(self):
        sig, _ = PKI.sign("untrusted", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.chain)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.empty)
        ok, err = openssl_cms_ok(sig)
        self.assertFalse(ok)
        self.assertIn("self-signed certificate in certificate chain", err)
        self.assertEqual(code, 1)
        self.assertIn("UntrustedRoot", exceptions(report))
        self.assertEqual(verdict.root.tag, "RootAlert")

    def test_missing_intermediate(self):
        sig, _ = PKI.sign("nointer", b"doc\n", PKI.leaf, PKI.path("leaf.key"))
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
        ok, err = openssl_cms_ok(sig, ca=PKI.ca.cert)
        self.assertFalse(ok)
        self.assertIn("unable to get local issuer certificate", err)
        self.assertEqual(code, 1)
        self.assertIn("IncompleteCertificateChain", exceptions(report))
        self.assertEqual(report.find("Header\\Resources").get("NeedUpdate"), "1")
        self.assertEqual(verdict.find("SignerAlert/CertAlert/IssuerNotFound") is not None, True)
        # The issuer's CRL address was registered for the caller to fetch.
        urls = [r.get("URL") for r in report.find("Header\\Resources")]
        self.assertIn("http://pki.example.test/inter.crl", urls)

    def test_self_signed_signer(self):
        key = PKI.key("self")
        cert = PKI.path("self.pem")
        run("openssl", "req", "-x509", "-new", "-key", key, "-subj", "/CN=Assinante Autoassinado",
            "-config", PKI.ca.config, "-extensions", "self_ext", "-days", "30", "-out", cert)
        sig, _ = PKI.sign("selfsigned", b"doc\n", cert, key)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
        ok, err = openssl_cms_ok(sig, ca=PKI.ca.cert)
        self.assertFalse(ok)
        self.assertIn("self-signed certificate", err)
        self.assertEqual(code, 1)
        self.assertEqual(exceptions(report), ["RevocationUnverified", "UntrustedRoot"])
        # Trusted, the same certificate is a complete chain for both.
        folder = PKI.folder("trusted-self", [cert])
        code, report, verdict, _ = PKI.verify(sig, "--trusted", folder)
        self.assertTrue(openssl_cms_ok(sig, ca=cert)[0])
        self.assertEqual(code, 0)
        self.assertIn("TrustedRoot", [c.tag for c in verdict.find("SignerValid/CertValid")])

    def test_expired_and_not_yet_valid_signers(self):
        for name, start, end, reason in (
                ("expired", now() - 400 * DAY, now() - 30 * DAY, "certificate has expired"),
                ("future", now() + 30 * DAY, now() + 400 * DAY, "certificate is not yet valid")):
            with self.subTest(name):
                cert = PKI.inter.issue(name, "/CN=Assinante %s" % name, "leaf_ext", start=start, end=end)
                sig, _ = PKI.sign(name, b"doc\n", cert, PKI.path(name + ".key"), certfile=PKI.inter.cert)
                code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
                ok, err = openssl_cms_ok(sig, ca=PKI.ca.cert)
                self.assertFalse(ok)
                self.assertIn(reason, err)
                self.assertEqual(code, 1)
                self.assertIn("CertificateExpirationConstraint", exceptions(report))
                self.assertIsNotNone(verdict.find("SignerAlert/CertAlert/CertificateExpirationConstraint"))

    def test_certificate_bundle(self):
        bundle = PKI.path("bundle.p7b")
        run("openssl", "crl2pkcs7", "-nocrl", "-certfile", PKI.leaf, "-certfile", PKI.inter.cert,
            "-outform", "DER", "-out", bundle)
        code, report, verdict, _ = PKI.verify(bundle, "--trusted", PKI.trusted)
        ok, err = openssl_verify(PKI.leaf, "-untrusted", PKI.inter.cert, ca=PKI.ca.cert)
        self.assertTrue(ok, err)
        self.assertEqual(code, 0)
        header = report.names("Header")
        for removed in ("Algorithm", "Type", "Version"):
            self.assertNotIn(removed, header)
        self.assertIsNone(report.find("Content"))
        self.assertEqual(len(report.names("Certificates")), 3)
        self.assertEqual([c.tag for c in verdict.root if not c.tag.startswith("_")],
                         ["CertValid", "CAValid", "CAValid"])
        # Without the intermediate the bundle's chain is incomplete for both.
        run("openssl", "crl2pkcs7", "-nocrl", "-certfile", PKI.leaf, "-outform", "DER", "-out", bundle)
        code, report, verdict, _ = PKI.verify(bundle, "--trusted", PKI.trusted)
        self.assertFalse(openssl_verify(PKI.leaf, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 1)
        self.assertIn("IncompleteCertificateChain", exceptions(report))


class Revocation(unittest.TestCase):
    """CRLs in the caller's hands and inside the SignedData, with chosen dates."""

    @classmethod
    def setUpClass(cls):
        cls.revoked_before = PKI.inter.issue("rev-before", "/CN=Revogado Antes", "leaf_ext")
        cls.revoked_after = PKI.inter.issue("rev-after", "/CN=Revogado Depois", "leaf_ext")
        PKI.inter.revoke(cls.revoked_before, now() - 10 * DAY)
        PKI.inter.revoke(cls.revoked_after, now() + HOUR)
        # Issued after the signatures below (a CRL newer than the signing time).
        cls.inter_crl = PKI.inter.crl("inter", now() + 2 * HOUR, now() + 30 * DAY)
        cls.root_crl = PKI.ca.crl("root", now() + 2 * HOUR, now() + 30 * DAY)
        cls.old_crl = PKI.inter.crl("inter-old", now() - 60 * DAY, now() - 30 * DAY)
        cls.later = str(int((now() + 3 * HOUR).timestamp()))

    def crls(self, *files):
        args = ["--revocation"]
        for f in files:
            args += ["--crl", f]
        return args

    def openssl(self, cert, crl):
        return openssl_verify(cert, "-crl_check", "-attime", self.later, "-untrusted", PKI.inter.cert,
                              "-CRLfile", PKI.inter.path if False else crl, ca=PKI.ca.cert)

    def test_valid_with_current_crls(self):
        sig, _ = PKI.sign("rev-valid", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        code, report, verdict, out = PKI.verify(sig, "--trusted", PKI.trusted,
                                                *self.crls(self.inter_crl, self.root_crl))
        ok, err = openssl_verify(PKI.leaf, "-crl_check_all", "-attime", self.later, "-untrusted", PKI.inter.cert,
                                 "-CRLfile", self.inter_crl, "-CRLfile", self.root_crl, ca=PKI.ca.cert)
        self.assertTrue(ok, err)
        self.assertEqual(code, 0, out)
        self.assertEqual(report.text("Header\\Status"), "OK")
        self.assertEqual(exceptions(report), [])

    def test_revoked_before_the_signing_time(self):
        sig, _ = PKI.sign("rev-b", b"doc\n", self.revoked_before, PKI.path("rev-before.key"),
                          certfile=PKI.inter.cert)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted, *self.crls(self.inter_crl, self.root_crl))
        ok, err = self.openssl(self.revoked_before, self.inter_crl)
        self.assertFalse(ok)
        self.assertIn("certificate revoked", err)
        self.assertEqual(code, 1)
        self.assertIn("CertificateRevocationConstraint", exceptions(report))
        self.assertIsNotNone(verdict.find("SignerAlert/CertAlert/Revocated"))

    def test_revoked_after_the_signing_time(self):
        sig, _ = PKI.sign("rev-a", b"doc\n", self.revoked_after, PKI.path("rev-after.key"),
                          certfile=PKI.inter.cert)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted, *self.crls(self.inter_crl, self.root_crl))
        ok, err = self.openssl(self.revoked_after, self.inter_crl)
        self.assertFalse(ok)
        self.assertIn("certificate revoked", err)
        self.assertEqual(code, 1)
        self.assertIn("CertificateRevocationPostConstraint", exceptions(report))
        self.assertNotIn("CertificateRevocationConstraint", exceptions(report))

    def test_outdated_crl(self):
        sig, _ = PKI.sign("rev-old", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted, *self.crls(self.old_crl, self.root_crl))
        ok, err = openssl_verify(PKI.leaf, "-crl_check", "-untrusted", PKI.inter.cert, "-CRLfile", self.old_crl,
                                 ca=PKI.ca.cert)
        self.assertFalse(ok)
        self.assertIn("CRL has expired", err)
        self.assertEqual(code, 1)
        self.assertIn("CertificateRevocationOldCRL", exceptions(report))
        self.assertEqual(report.find("Header\\Resources").get("NeedUpdate"), "1")
        self.assertIsNotNone(verdict.find("SignerAlert/CertAlert/OldCRL"))

    def test_missing_and_embedded_crls(self):
        sig, _ = PKI.sign("rev-none", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        code, report, _, _ = PKI.verify(sig, "--trusted", PKI.trusted, "--revocation")
        self.assertFalse(openssl_verify(PKI.leaf, "-crl_check", "-untrusted", PKI.inter.cert, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 1)
        self.assertIn("RevocationListNotFound", exceptions(report))
        # The same CRLs carried inside the SignedData.
        der = PKI.read(sig)
        info = cms.ContentInfo.load(der)
        info["content"]["crls"] = [cms.RevocationInfoChoice({"crl": cms.CertificateList.load(PKI.read(f))})
                                   for f in (self.inter_crl, self.root_crl)]
        embedded = PKI.write("rev-embedded.p7s", info.dump(force=True))
        code, report, _, out = PKI.verify(embedded, "--trusted", PKI.trusted, "--revocation")
        self.assertTrue(openssl_cms_ok(embedded, "-crl_check_all", "-attime", self.later, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 0, out)
        self.assertEqual(exceptions(report), [])


class Signatures(unittest.TestCase):
    """Digests, tampering, content, detached signatures and the CMS made by other tools."""

    def test_sha1_is_weak_without_alert(self):
        sig, _ = PKI.sign("sha1", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert, md="sha1")
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
        self.assertTrue(openssl_cms_ok(sig, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 0)
        self.assertIsNotNone(verdict.find("SignerValid/SignatureValid/SignatureWeak"))
        self.assertEqual(report.text("Signers\\Signer\\Signature\\Signed\\HashAlgorithm"), "1.3.14.3.2.26")

    def test_tampered_signed_attribute(self):
        sig, _ = PKI.sign("tamper", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        info = cms.ContentInfo.load(PKI.read(sig))
        attrs = info["content"]["signer_infos"][0]["signed_attrs"]
        for attr in attrs:
            if attr["type"].native == "signing_time":
                attr["values"] = [cms.Time({"utc_time": datetime.datetime(2020, 1, 2, 3, 4, 5,
                                                                          tzinfo=datetime.timezone.utc)})]
        tampered = PKI.write("tampered.p7s", info.dump(force=True))
        code, report, verdict, _ = PKI.verify(tampered, "--trusted", PKI.trusted)
        ok, err = openssl_cms_ok(tampered, ca=PKI.ca.cert)
        self.assertFalse(ok)
        self.assertEqual(code, 1)
        self.assertIn("SignatureCheckConstraint", exceptions(report))
        self.assertEqual(report.text("Signers\\Signer\\Signature\\Status"), "Failed")
        self.assertIsNotNone(verdict.find("SignerAlert/SignatureAlert/SignatureFailed"))

    def test_content_that_does_not_match(self):
        sig, _ = PKI.sign("mismatch", b"Valor: 100 reais\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        der = PKI.read(sig).replace(b"100 reais", b"900 reais")
        changed = PKI.write("mismatch-changed.p7s", der)
        code, report, verdict, _ = PKI.verify(changed, "--trusted", PKI.trusted)
        ok, err = openssl_cms_ok(changed, ca=PKI.ca.cert)
        self.assertFalse(ok)
        self.assertEqual(code, 1)
        self.assertEqual(report.text("Signers\\Signer\\Signature\\ContentValidation"), "InvalidContent")
        self.assertIsNotNone(verdict.find("SignerAlert/SignatureAlert/InvalidContent"))
        # The signature value itself still verifies: only the content is wrong.
        self.assertEqual(report.text("Signers\\Signer\\Signature\\Status"), "OK")

    def test_detached_without_and_with_content(self):
        sig, doc = PKI.sign("detached", b"Documento destacado\n", PKI.leaf, PKI.path("leaf.key"),
                            certfile=PKI.inter.cert, detached=True)
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted)
        self.assertFalse(openssl_cms_ok(sig, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 1)
        self.assertEqual(report.text("Header\\Status"), "CmsSignedDataContentMissing")
        self.assertEqual(report.text("Content\\Size"), "0")
        self.assertIsNotNone(verdict.find("SignerAlert/SignatureAlert/MissingContent"))
        code, report, verdict, _ = PKI.verify(sig, "--trusted", PKI.trusted, "--content", doc)
        self.assertTrue(openssl_cms_ok(sig, content=doc, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 0)
        self.assertNotIn("CmsSignedDataContentMissing", exceptions(report))
        self.assertEqual(report.text("Content\\DetachedSize"), str(len(PKI.read(doc))))
        self.assertEqual(report.text("Signers\\Signer\\Signature\\ContentHash"),
                         hashlib.sha256(PKI.read(doc)).hexdigest().upper())
        # Another document does not match.
        other = PKI.write("detached-other.txt", b"Outro documento\n")
        code, report, _, _ = PKI.verify(sig, "--trusted", PKI.trusted, "--content", other)
        self.assertFalse(openssl_cms_ok(sig, content=other, ca=PKI.ca.cert)[0])
        self.assertEqual(code, 1)

    def test_openssl_cms_variants(self):
        for detached in (False, True):
            for cades in (False, True):
                with self.subTest(detached=detached, cades=cades):
                    name = "variant-%d%d" % (detached, cades)
                    sig, doc = PKI.sign(name, b"variante\n", PKI.leaf, PKI.path("leaf.key"),
                                        certfile=PKI.inter.cert, detached=detached, cades=cades)
                    args = ["--trusted", PKI.trusted] + (["--content", doc] if detached else [])
                    code, report, _, out = PKI.verify(sig, *args)
                    self.assertTrue(openssl_cms_ok(sig, content=doc if detached else None, ca=PKI.ca.cert)[0])
                    self.assertEqual(code, 0, out)
                    if cades:
                        self.assertEqual(len(report.find("Signers\\Signer\\SignedAttributes")
                                             .findall("SigningCertificate")), 1)

    def test_pem_and_base64_inputs_and_json(self):
        sig, _ = PKI.sign("forms", b"doc\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        pem = PKI.path("forms.pem")
        run("openssl", "cms", "-cmsout", "-inform", "DER", "-in", sig, "-outform", "PEM", "-out", pem)
        import base64
        b64 = PKI.write("forms.b64", base64.encodebytes(PKI.read(sig)))
        for f in (pem, b64):
            self.assertEqual(PKI.verify(f, "--trusted", PKI.trusted)[0], 0, f)
        result = run(pkikit.VERIFY, "--json", "--trusted", PKI.trusted, sig, check=False)
        self.assertEqual(result.returncode, 0)
        import json
        tree = json.loads(result.stdout.decode())
        # The JSON form names members in lower case.
        self.assertEqual(tree["signeddatareport"]["signers"]["signer"]["signature"]["status"], "OK")
        self.assertEqual(tree["signeddatareport"]["header"]["status"], "RevocationUnverified")


class TimeStamps(unittest.TestCase):

    def test_token_from_openssl_ts_reply(self):
        token, query, reply = PKI.time_stamp("tst", data=b"dados carimbados\n")
        ok = run("openssl", "ts", "-verify", "-in", reply, "-queryfile", query, "-CAfile", PKI.ca.cert,
                 "-untrusted", PKI.inter.cert, check=False)
        self.assertEqual(ok.returncode, 0, ok.stderr)
        code, report, verdict, out = PKI.verify(token, "--trusted", PKI.trusted)
        self.assertEqual(code, 0, out)
        self.assertEqual(report.text("Content\\Type"), "1.2.840.113549.1.9.16.1.4")
        info = tsp.ContentInfo.load(PKI.read(token))["content"]["encap_content_info"]["content"].parsed
        self.assertEqual(report.text("Content\\Data\\TST\\Policy"), "1.3.6.1.4.1.61524.9.1")
        self.assertEqual(report.text("Content\\Data\\TST\\SerialNumber"), str(info["serial_number"].native))
        self.assertEqual(report.text("Content\\Data\\TST\\Signature\\Hash"),
                         hashlib.sha256(b"dados carimbados\n").hexdigest().upper())
        self.assertEqual(report.text("Content\\Data\\TST\\Precision\\Seconds"), "1")
        self.assertEqual(report.text("Content\\Data\\TST\\Precision\\Mili"), "500")
        self.assertEqual(report.text("Content\\Data\\TST\\Precision\\Micro"), "100")
        self.assertNotIn("MissingUsageExtendedTimeStamping", exceptions(report))
        # An ordinary signer's certificate cannot time-stamp.
        self.assertEqual(report.text("Header\\Status"), "RevocationUnverified")

    def test_token_as_unsigned_attribute(self):
        sig, _ = PKI.sign("stamped", b"doc carimbado\n", PKI.leaf, PKI.path("leaf.key"), certfile=PKI.inter.cert)
        info = cms.ContentInfo.load(PKI.read(sig))
        signer = info["content"]["signer_infos"][0]
        digest = hashlib.sha256(signer["signature"].native).hexdigest()
        token, _, _ = PKI.time_stamp("stamped-tst", digest_hex=digest)
        signer["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute({
            "type": "signature_time_stamp_token",
            "values": [cms.ContentInfo.load(PKI.read(token))]})])
        stamped = PKI.write("stamped-tst.p7s", info.dump(force=True))
        self.assertTrue(openssl_cms_ok(stamped, ca=PKI.ca.cert)[0])
        code, report, verdict, out = PKI.verify(stamped, "--trusted", PKI.trusted)
        self.assertEqual(code, 0, out)
        stamp = report.find("Signers\\Signer\\UnsignedAttributes\\Timestamp")
        self.assertEqual(stamp.get("Status"), "OK")
        self.assertEqual(report.text("Signers\\Signer\\Signature\\MomentType"), "TST")
        self.assertEqual(report.text("Signers\\Signer\\Signature\\TimestampValidation"), "RevocationUnverified")
        self.assertIsNotNone(verdict.find("SignerValid/TimestampValid/TSACertValid"))
        # The TSA's certificate joined the outer descriptions.
        self.assertEqual(len(report.names("Certificates")), 4)
        # A token over another signature value does not stamp this one.
        other, _, _ = PKI.time_stamp("other-tst", digest_hex=hashlib.sha256(b"x").hexdigest())
        signer["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute({
            "type": "signature_time_stamp_token", "values": [cms.ContentInfo.load(PKI.read(other))]})])
        wrong = PKI.write("wrong-tst.p7s", info.dump(force=True))
        code, report, verdict, _ = PKI.verify(wrong, "--trusted", PKI.trusted)
        self.assertEqual(code, 1)
        self.assertEqual(report.text("Signers\\Signer\\Signature\\TimestampValidation"), "TimestampCheckConstraint")
        self.assertIsNotNone(verdict.find("SignerAlert/TimestampAlert/TimestampCheckConstraint"))


class CommandLine(unittest.TestCase):

    def test_exit_status_two_for_bad_input(self):
        garbage = PKI.write("garbage.bin", b"\x01\x02 not a signature")
        self.assertEqual(run(pkikit.VERIFY, check=False).returncode, 2)
        self.assertEqual(run(pkikit.VERIFY, "--bogus", garbage, check=False).returncode, 2)
        self.assertEqual(run(pkikit.VERIFY, PKI.path("missing.p7s"), check=False).returncode, 2)
        self.assertEqual(run(pkikit.VERIFY, "--crl", PKI.path("missing.crl"), garbage, check=False).returncode, 2)
        # DER that is no SignedData is read, and reported as a structure failure.
        notcms = PKI.write("notcms.der", bytes.fromhex("300602010102010A"))
        code, report, verdict, _ = PKI.verify(notcms)
        self.assertEqual(code, 1)
        self.assertEqual(report.text("Header\\Status"), "CmsStructureFailed")


class Pdfs(unittest.TestCase):
    """PDFs signed by poppler's pdfsig (NSS) and by dorvik-pdfsign: every signature verified over
    its byte ranges."""

    def make_pdf(self, path):
        import cairo
        surface = cairo.PDFSurface(path, 300, 300)
        context = cairo.Context(surface)
        context.move_to(20, 50)
        context.show_text("Contrato assinado")
        context.show_page()
        surface.finish()
        return path

    def test_pdfsig_and_dorvik_signatures(self):
        plain = self.make_pdf(PKI.path("plain.pdf"))
        nss = PKI.path("nssdb")
        os.makedirs(nss)
        run("certutil", "-N", "-d", "sql:" + nss, "--empty-password")
        p12 = PKI.path("leaf.p12")
        run("openssl", "pkcs12", "-export", "-inkey", PKI.path("leaf.key"), "-in", PKI.leaf, "-certfile",
            PKI.inter.cert, "-name", "Fulano", "-passout", "pass:pw", "-out", p12)
        run("pk12util", "-i", p12, "-d", "sql:" + nss, "-W", "pw")
        by_poppler = PKI.path("poppler.pdf")
        run("pdfsig", "-add-signature", "-nssdir", "sql:" + nss, "-nick", "Fulano", "-digest", "SHA256",
            plain, by_poppler)
        code, report, verdict, out = PKI.verify(by_poppler, "--trusted", PKI.trusted)
        self.assertEqual(code, 0, out)
        self.assertEqual(verdict.root.tag, "RootValid")
        self.assertEqual(report.text("Header\\Status"), "RevocationUnverified")
        # This project's signature, then poppler's on top of it.
        ours = PKI.path("ours.pdf")
        pdfsign = os.path.join(pkikit.BINARY_DIR, "bin", "dorvik-pdfsign")
        run(pdfsign, plain, ours, PKI.path("leaf.key"), PKI.leaf)
        code, _, verdict, out = PKI.verify(ours, "--trusted", PKI.trusted)
        self.assertEqual(code, 1, out)  # dorvik-pdfsign carries no intermediate
        self.assertIsNotNone(verdict.find("SignerAlert/CertAlert/IncompleteCertificateChain"))
        both = PKI.path("both.pdf")
        run("pdfsig", "-add-signature", "-nssdir", "sql:" + nss, "-nick", "Fulano", ours, both)
        self.assertIn("Signature #2", run("pdfsig", "-nocert", both).stdout.decode())
        extra = PKI.folder("trusted-inter", [PKI.ca.cert, PKI.inter.cert])
        code, reports, verdicts, out = PKI.verify(both, "--trusted", extra)
        self.assertEqual(code, 0, out)
        self.assertEqual(reports.root.tag, "SignedDataReports")
        self.assertEqual([v.tag for v in verdicts.root], ["RootValid", "RootValid"])
        # One changed byte inside the signed ranges makes both signatures alerts.
        data = bytearray(PKI.read(both))
        at = data.find(b"Contrato") if b"Contrato" in data else data.find(b"/MediaBox")
        data[at + 1] ^= 0x01
        changed = PKI.write("changed.pdf", bytes(data))
        code, reports, verdicts, out = PKI.verify(changed, "--trusted", extra)
        self.assertEqual(code, 1, out)
        self.assertEqual([v.tag for v in verdicts.root], ["RootAlert", "RootAlert"])
        self.assertEqual(run(pkikit.VERIFY, plain, check=False).returncode, 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
