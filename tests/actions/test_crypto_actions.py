"""The crypto actions through libdorvik.so's Encode(16), against tools nobody here wrote: the
openssl CLI (enc, pkcs12, verify, cms), NSS's pk12util and certutil, python's hashlib and asn1crypto."""
import base64
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import actionkit as kit  # noqa: E402

from asn1crypto import keys, x509  # noqa: E402

WORK = tempfile.mkdtemp(prefix="dorvik-actions-")
# The tools run without the sanitizer runtime a sanitized build preloads into this process.
TOOL_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run_tool(args, **kwargs):
    kwargs.setdefault("env", TOOL_ENV)
    return subprocess.run(args, **kwargs)

LEGACY = ["-provider", "legacy", "-provider", "default"]

# Action name -> (openssl enc name, key length, block size).
CIPHERS = {
    "BlowfishCBC": ("bf-cbc", 16, 8), "BlowfishECB": ("bf-ecb", 16, 8), "BlowfishOFB": ("bf-ofb", 16, 8),
    "DESCBC": ("des-cbc", 8, 8), "DESECB": ("des-ecb", 8, 8), "DESOFB": ("des-ofb", 8, 8),
    "DES2CBC": ("des-ede-cbc", 16, 8), "DES2ECB": ("des-ede", 16, 8), "DES2OFB": ("des-ede-ofb", 16, 8),
    "DES3CBC": ("des-ede3-cbc", 24, 8), "DES3ECB": ("des-ede3", 24, 8), "DES3OFB": ("des-ede3-ofb", 24, 8),
    "DESXCBC": ("desx-cbc", 24, 8),
    "IDEACBC": ("idea-cbc", 16, 8), "IDEAECB": ("idea-ecb", 16, 8), "IDEAOFB": ("idea-ofb", 16, 8),
    "CAST5CBC": ("cast5-cbc", 16, 8), "CAST5ECB": ("cast5-ecb", 16, 8), "CAST5OFB": ("cast5-ofb", 16, 8),
    "AES128CBC": ("aes-128-cbc", 16, 16), "AES128ECB": ("aes-128-ecb", 16, 16), "AES128OFB": ("aes-128-ofb", 16, 16),
    "AES192CBC": ("aes-192-cbc", 24, 16), "AES192ECB": ("aes-192-ecb", 24, 16), "AES192OFB": ("aes-192-ofb", 24, 16),
    "AES256CBC": ("aes-256-cbc", 32, 16), "AES256ECB": ("aes-256-ecb", 32, 16), "AES256OFB": ("aes-256-ofb", 32, 16),
}


def openssl_enc(cipher, key, data, decrypt=False):
    name, key_length, _ = CIPHERS[cipher]
    args = ["openssl", "enc", "-" + name, "-K", key[:key_length].hex(), "-iv", "0"] + LEGACY
    if decrypt:
        args.append("-d")
    return run_tool(args, input=data, capture_output=True, check=True).stdout


def offered(cipher):
    name = CIPHERS[cipher][0]
    return run_tool(["openssl", "enc", "-" + name, "-K", "00" * 32, "-iv", "0"] + LEGACY,
                          input=b"", capture_output=True).returncode == 0


NO_ZERO = bytes([0x5A]) + bytes(range(1, 256))


def no_zero_bytes(n, seed):
    """Content for a request text, which ends at its first zero byte."""
    return hashlib.shake_256(seed).digest(n).translate(NO_ZERO)


def sizes(block):
    return [0, 1, block, 1 << 20]


class Ciphers(unittest.TestCase):
    def test_every_cipher_the_library_offers_equals_openssl_enc_both_ways(self):
        key = no_zero_bytes(32, b"key")
        binary_password = base64.b64encode(key)
        compared = 0
        for cipher, (_, _, block) in CIPHERS.items():
            if not offered(cipher):
                r = kit.run(kit.ENCRYPT, kit.element("Algorithm", cipher), kit.element("Content", "abc"))
                self.assertEqual(r.attrs["Status"], "UnsupportedAlgorithm", cipher)
                continue
            for n in sizes(block):
                plain = no_zero_bytes(n, cipher.encode() + bytes([n % 251]))
                expected = openssl_enc(cipher, key, plain)
                r = kit.run(kit.ENCRYPT, kit.element("Algorithm", cipher), kit.element("BinaryPassword", binary_password),
                            kit.element("Content", plain, raw=True))
                self.assertEqual(r.attrs.get("Status"), "OK", (cipher, n))
                self.assertIsNone(r.child("BinaryPassword"), "the key was given")
                self.assertEqual(base64.b64decode(r.child("EncryptedData").value), expected, (cipher, n))

                r = kit.run(kit.DECRYPT, kit.element("Algorithm", cipher), kit.element("BinaryPassword", binary_password),
                            kit.element("EncryptedData", base64.b64encode(expected)))
                self.assertEqual(r.attrs.get("Status"), "OK", (cipher, n))
                self.assertEqual(r.child("Content").value, plain, (cipher, n))
                compared += 1
        self.assertGreaterEqual(compared, 25 * 4, "every cipher but IDEA is offered by Debian's OpenSSL")

    def test_a_password_is_its_own_bytes_up_to_thirty_two(self):
        password = "senha-com-quarenta-caracteres-0123456789"
        self.assertEqual(len(password), 40)
        plain = b"Texto cifrado com senha."
        r = kit.run(kit.ENCRYPT, kit.element("Algorithm", "AES256CBC"), kit.element("Password", password),
                    kit.element("Content", plain, raw=True))
        self.assertEqual(base64.b64decode(r.child("EncryptedData").value),
                         openssl_enc("AES256CBC", password.encode()[:32], plain))
        # A short password leaves the rest of the key zero.
        r = kit.run(kit.ENCRYPT, kit.element("Algorithm", "AES128ECB"), kit.element("Password", "abc"),
                    kit.element("Content", plain, raw=True))
        self.assertEqual(base64.b64decode(r.child("EncryptedData").value),
                         openssl_enc("AES128ECB", b"abc" + bytes(29), plain))

    def test_a_generated_key_decrypts_its_result_and_openssl_agrees(self):
        plain = no_zero_bytes(1000, b"generated")
        r = kit.run(kit.ENCRYPT, kit.element("Algorithm", "DES3CBC"), kit.element("Content", plain, raw=True))
        self.assertEqual(r.attrs["Status"], "OK")
        key = base64.b64decode(r.child("BinaryPassword").value)
        self.assertEqual(len(key), 32)
        self.assertNotIn(0, key)
        data = base64.b64decode(r.child("EncryptedData").value)
        self.assertEqual(openssl_enc("DES3CBC", key, data, decrypt=True), plain)
        back = kit.run(kit.DECRYPT, kit.element("Algorithm", "DES3CBC"), kit.element("BinaryPassword", r.child("BinaryPassword").value),
                       kit.element("EncryptedData", r.child("EncryptedData").value, raw=True))
        self.assertEqual(back.child("Content").value, plain)


class Hashes(unittest.TestCase):
    ROWS = ["md5", "sha1", "md2", "md4", "sha224", "sha256", "sha384", "sha512", "ripemd160"]

    @staticmethod
    def hashlib_digests(contents):
        """hashlib in a process whose OpenSSL has the legacy provider too (MD4, RIPEMD-160)."""
        conf = os.path.join(WORK, "legacy.cnf")
        with open(conf, "w") as f:
            f.write("openssl_conf = init\n[init]\nproviders = p\n[p]\ndefault = d\nlegacy = l\n"
                    "[d]\nactivate = 1\n[l]\nactivate = 1\n")
        code = ("import hashlib, sys, json\n"
                "rows = %r\n"
                "out = {}\n"
                "contents = json.load(sys.stdin)\n"
                "for i, name in enumerate(rows):\n"
                "    try: hashlib.new(name)\n"
                "    except ValueError: continue\n"
                "    out[i] = [hashlib.new(name, bytes.fromhex(c)).hexdigest().upper() for c in contents]\n"
                "print(json.dumps(out))\n" % Hashes.ROWS)
        import json
        env = dict(TOOL_ENV, OPENSSL_CONF=conf)
        done = run_tool(["/usr/bin/python3", "-c", code], input=json.dumps([c.hex() for c in contents]).encode(),
                              capture_output=True, check=True, env=env)
        return {int(k): v for k, v in json.loads(done.stdout).items()}

    def test_every_row_openssl_offers_equals_hashlib(self):
        contents = [b"", b"a", b"abc", no_zero_bytes(1 << 20, b"hash")]
        expected = self.hashlib_digests(contents)
        for row, name in enumerate(self.ROWS):
            has = run_tool(["openssl", "dgst", "-" + name] + LEGACY, input=b"", capture_output=True).returncode == 0
            for content in contents:
                r = kit.run(kit.HASH, kit.element("Algorithm", str(row)), kit.element("Content", content, raw=True))
                if not has:
                    self.assertEqual(r.attrs["Status"], "UnsupportedAlgorithm", name)
                    continue
                self.assertIn(row, expected, "hashlib lacks " + name)
                self.assertEqual(r.attrs["Status"], "OK", name)
                self.assertEqual(r.child("Hash").value.decode(), expected[row][contents.index(content)], name)
        self.assertEqual(sorted(expected), [0, 1, 3, 4, 5, 6, 7, 8])


SIGNATURES = {"1.2.840.113549.1.1.5": "sha1", "1.2.840.113549.1.1.11": "sha256", "1.2.840.113549.1.1.13": "sha512"}
SUBJECT = [("2.5.4.6", "BR"), ("2.5.4.8", "SP"), ("2.5.4.10", "Dorvik Test"), ("2.5.4.11", "Credenciais"),
           ("2.5.4.3", None)]  # the common name is made per credential
ALL_EXTENSIONS = [("2.5.29.19", True), ("2.5.29.15", True), ("2.5.29.37", False), ("2.5.29.14", False),
                  ("2.5.29.35", False), ("1.3.6.1.5.5.7.1.1", False), ("2.5.29.31", False), ("2.5.29.32", False)]


def make_credential(bits, algorithm, common_name, password, expiration="2033-03-15", extra_items=(), serial="4242"):
    items = [(oid, value or common_name) for oid, value in SUBJECT] + list(extra_items)
    subject = b"".join(b"<Item>" + kit.element("ID", i) + kit.element("Value", v) + b"</Item>" for i, v in items)
    r = kit.run(kit.CREATE_CREDENTIAL, kit.element("Algorithm", algorithm), kit.element("KeySize", str(bits)),
                kit.element("Expiration", expiration), kit.element("Password", password),
                kit.element("SerialNumber", serial), b"<SubjectInfo>" + subject + b"</SubjectInfo>")
    return r


class Credentials(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nssdb = os.path.join(WORK, "nssdb")
        os.makedirs(cls.nssdb)
        run_tool(["certutil", "-N", "-d", "sql:" + cls.nssdb, "--empty-password"], check=True, capture_output=True)

    def check_credential(self, bits, algorithm, extra_items=(), extensions=None):
        tag = "%d-%s-%d" % (bits, SIGNATURES[algorithm], len(extra_items))
        name = "Credencial " + tag
        password = "senha " + tag
        r = make_credential(bits, algorithm, name, password, extra_items=extra_items)
        self.assertEqual(r.attrs["Status"], "OK", tag)
        credential = kit.parse(r.child("Credential").value)
        self.assertEqual(credential.name, "Credential")
        pfx = bytes.fromhex(credential.child("PFX").value.decode())
        pvk = base64.b64decode(credential.child("PVK").value)
        certificate = credential.child("Certificate")
        self.assertEqual(certificate.child("Name").value.decode(), name)
        chain = certificate.child("Chain").children
        self.assertEqual(len(chain), 1)
        der = base64.b64decode(chain[0].attrs["Data"])
        self.assertEqual(certificate.child("Code").value.decode(), hashlib.sha1(der).hexdigest().upper())

        base = os.path.join(WORK, tag)
        with open(base + ".p12", "wb") as f:
            f.write(pfx)
        pem = base + ".pem"
        with open(pem, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der).decode() + "-----END CERTIFICATE-----\n")

        # openssl opens the PKCS#12 without -legacy: the same certificate and key.
        out = run_tool(["openssl", "pkcs12", "-in", base + ".p12", "-passin", "pass:" + password, "-nodes",
                              "-out", base + ".all.pem"], capture_output=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(base + ".all.pem") as f:
            everything = f.read()
        self.assertIn("friendlyName: " + name, everything)
        from_p12 = run_tool(["openssl", "x509", "-in", base + ".all.pem", "-outform", "DER"],
                                  capture_output=True, check=True).stdout
        self.assertEqual(from_p12, der)
        key = run_tool(["openssl", "rsa", "-in", base + ".all.pem", "-outform", "DER", "-traditional"],
                             capture_output=True, check=True).stdout
        self.assertEqual(keys.RSAPrivateKey.load(key).dump(), keys.RSAPrivateKey.load(pvk).dump())

        # NSS imports it: the certificate with its key, under the friendly name.
        out = run_tool(["pk12util", "-i", base + ".p12", "-d", "sql:" + self.nssdb, "-W", password], capture_output=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        listing = run_tool(["certutil", "-K", "-d", "sql:" + self.nssdb], capture_output=True, check=True).stdout.decode()
        self.assertIn(name, listing)

        # Self-signed: it verifies against itself.
        out = run_tool(["openssl", "verify", "-auth_level", "0", "-partial_chain", "-CAfile", pem, pem], capture_output=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

        cert = x509.Certificate.load(der)
        tbs = cert["tbs_certificate"]
        self.assertEqual(tbs["version"].native, "v3")
        self.assertEqual(tbs["serial_number"].native, 4242)
        self.assertEqual(tbs["signature"]["algorithm"].dotted, algorithm)
        self.assertEqual(cert["signature_algorithm"]["algorithm"].dotted, algorithm)
        expected_subject = [(oid, value or name) for oid, value in SUBJECT] + \
            [(i, v) for i, v in extra_items if i[0].isdigit()]
        got = [(rdn[0]["type"].dotted, rdn[0]["value"].native) for rdn in tbs["subject"].chosen]
        self.assertEqual(got, expected_subject, "attributes in item order")
        self.assertTrue(all(len(rdn) == 1 and rdn[0]["value"].name == "printable_string" for rdn in tbs["subject"].chosen))
        self.assertEqual(tbs["issuer"].dump(), tbs["subject"].dump())
        self.assertEqual(tbs["subject_public_key_info"]["algorithm"]["algorithm"].dotted, "1.2.840.113549.1.1.1")
        public = tbs["subject_public_key_info"]["public_key"]
        self.assertEqual(public.parsed["modulus"].native.bit_length(), bits)
        self.assertEqual(public.parsed["public_exponent"].native, 17)

        # Not after: the expiration day at 23:59:59 local time; not before: now.
        local_end = datetime.datetime(2033, 3, 15, 23, 59, 59)
        end_utc = datetime.datetime.fromtimestamp(time.mktime(local_end.timetuple()), datetime.timezone.utc)
        self.assertEqual(tbs["validity"]["not_after"].native, end_utc)
        not_before = tbs["validity"]["not_before"].native
        self.assertLess(abs((not_before - datetime.datetime.now(datetime.timezone.utc)).total_seconds()), 600)

        wanted = extensions or [e for e in ALL_EXTENSIONS if e[0] not in ("1.3.6.1.5.5.7.1.1", "2.5.29.31", "2.5.29.32")]
        self.assertEqual([(e["extn_id"].dotted, e["critical"].native) for e in tbs["extensions"]], wanted)
        ski = hashlib.sha1(public.contents[1:]).digest()
        self.assertEqual(cert.key_identifier, ski)
        aki = cert.authority_key_identifier_value
        self.assertEqual(aki["key_identifier"].native, ski)
        self.assertEqual(aki["authority_cert_issuer"][0].name, "directory_name")
        self.assertEqual(aki["authority_cert_issuer"][0].chosen.native, tbs["issuer"].native)
        self.assertEqual(aki["authority_cert_serial_number"].native, 4242)

        # The credential signs a CMS through the library's own builder; openssl accepts it.
        document = ("Documento de teste " + tag + "\n").encode()
        hash_oid = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1", "sha512": "2.16.840.1.101.3.4.2.3"}
        cms, status = kit.decode14('<SIGNEDDATA Content="%s" Binary="1" Hash="%s" CertificateFileName="%s" '
                                   'CertificateFilePwd="%s"/>' % (document.hex().upper(), hash_oid["sha256"], base + ".p12", password))
        self.assertEqual(status, "OK", tag)
        with open(base + ".p7s", "wb") as f:
            f.write(cms)
        out = run_tool(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", base + ".p7s", "-CAfile", pem,
                              "-purpose", "any", "-auth_level", "0"], capture_output=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, document)
        return cert

    def test_every_allowed_size_from_512_with_several_signature_algorithms(self):
        for bits in (512, 768, 1024, 2048):
            for algorithm in SIGNATURES:
                with self.subTest(bits=bits, algorithm=algorithm):
                    if bits == 512 and algorithm == "1.2.840.113549.1.1.13":
                        r = make_credential(bits, algorithm, "small", "x")
                        self.assertEqual(r.attrs["Status"], "Failed", "a 512-bit key cannot carry a SHA-512 DigestInfo")
                        self.assertIsNone(r.child("Credential"))
                        continue
                    cert = self.check_credential(bits, algorithm)
                    self.assertEqual(cert.basic_constraints_value.native, {"ca": False, "path_len_constraint": 0})
                    self.assertEqual(cert.key_usage_value.native, {"digital_signature", "non_repudiation", "data_encipherment"})
                    self.assertEqual(cert.extended_key_usage_value.native, ["client_auth", "email_protection"])

    def test_4096_bits_and_every_setting_of_the_subject_list(self):
        items = [("BasicUse", "DigitalSignature,KeyCertSign,CRLSign"), ("ChainLength", "2"),
                 ("ExtendedUse", "ServerAuthentication,CodeSigning,Timestamping"),
                 ("IssuerURL", "http://ac.example.com.br/ac.p7b"), ("RevocationURL", "http://ac.example.com.br/ac.crl"),
                 ("PolicyURL", "2.16.76.1.2.1.99,http://ac.example.com.br/dpc.pdf"), ("2.5.4.5", "12345678900")]
        cert = self.check_credential(4096, "1.2.840.113549.1.1.11", extra_items=items, extensions=ALL_EXTENSIONS)
        self.assertEqual(cert.basic_constraints_value.native, {"ca": True, "path_len_constraint": 2})
        self.assertEqual(cert.key_usage_value.native, {"digital_signature", "key_cert_sign", "crl_sign"})
        self.assertEqual(cert.extended_key_usage_value.native, ["server_auth", "code_signing", "time_stamping"])
        self.assertEqual(cert.authority_information_access_value.native,
                         [{"access_method": "ca_issuers", "access_location": "http://ac.example.com.br/ac.p7b"}])
        self.assertEqual(cert.crl_distribution_points_value[0]["distribution_point"].native,
                         ["http://ac.example.com.br/ac.crl"])
        policy = cert.certificate_policies_value[0]
        self.assertEqual(policy["policy_identifier"].dotted, "2.16.76.1.2.1.99")
        self.assertEqual(policy["policy_qualifiers"][0]["policy_qualifier_id"].dotted, "1.3.6.1.5.5.7.2.1")
        self.assertEqual(policy["policy_qualifiers"][0]["qualifier"].native, "http://ac.example.com.br/dpc.pdf")

    def test_failures(self):
        self.assertEqual(make_credential(1000, "1.2.840.113549.1.1.11", "x", "y").attrs["Status"], "Failed")
        self.assertEqual(make_credential(256, "1.2.840.113549.1.1.11", "x", "y").attrs["Status"], "Failed")
        r = kit.run(kit.CREATE_CREDENTIAL, kit.element("Algorithm", "1.2.840.113549.1.1.11"), kit.element("KeySize", "512"))
        self.assertEqual(r.attrs["Status"], "InvalidParams")


if __name__ == "__main__":
    try:
        unittest.main()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
