"""A throw-away PKI made with the openssl command line for the verification tests: a root, an
intermediate, end-entity certificates (ICP-Brasil names and policy), a time-stamping
authority, CRLs with chosen dates, CMS signatures and time-stamp tokens."""

import datetime
import os
import re
import subprocess
import tempfile

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR",
                            os.path.join(os.path.dirname(__file__), "..", "..", "build"))
VERIFY = os.path.join(BINARY_DIR, "bin", "dorvik-verify")

# Birth date 01/02/1980, CPF 123.456.789-01, PIS 12345678901234, RG 123456789012 SSPMG.
HOLDER = "01021980" + "12345678901" + "12345678901234" + "123456789012" + "SSPMG"

CONFIG = """
[ req ]
distinguished_name = dn
[ dn ]
[ ca ]
default_ca = ca_default
[ ca_default ]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/new
serial = $dir/serial
crlnumber = $dir/crlnumber
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
default_days = 365
default_crl_days = 30
[ policy_any ]
commonName = supplied
organizationName = optional
countryName = optional
[ ca_ext ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
crlDistributionPoints = URI:http://pki.example.test/{name}.crl
[ leaf_ext ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,nonRepudiation
subjectKeyIdentifier = hash
subjectAltName = @icp_names
certificatePolicies = 2.16.76.1.2.3.10
crlDistributionPoints = URI:http://pki.example.test/{name}.crl
[ icp_names ]
otherName.0 = 2.16.76.1.3.1;PRINTABLESTRING:{holder}
email.0 = fulano@example.test
[ tsa_ext ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,nonRepudiation
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
[ self_ext ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,nonRepudiation
[ tsa ]
default_tsa = tsa_default
[ tsa_default ]
dir = {dir}
serial = $dir/tsaserial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.61524.9.1
other_policies = 1.3.6.1.4.1.61524.9.2
digests = sha1, sha256, sha384, sha512
accuracy = secs:1, millisecs:500, microsecs:100
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def run(*args, check=True, input_bytes=None):
    result = subprocess.run(list(args), capture_output=True, input=input_bytes)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                     result.stderr.decode(errors="replace")))
    return result


def stamp(moment):
    """The openssl ca form of a UTC moment."""
    return moment.strftime("%Y%m%d%H%M%SZ")


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


class TAuthority:
    def __init__(self, pki, name, subject, issuer=None):
        self.pki = pki
        self.name = name
        self.dir = os.path.join(pki.root, name)
        os.makedirs(os.path.join(self.dir, "new"))
        with open(os.path.join(self.dir, "index.txt"), "w"):
            pass
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("%02X\n" % (16 + len(pki.authorities) * 16))
        with open(os.path.join(self.dir, "crlnumber"), "w") as f:
            f.write("01\n")
        with open(os.path.join(self.dir, "tsaserial"), "w") as f:
            f.write("0100\n")
        self.config = os.path.join(self.dir, "ca.cnf")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(dir=self.dir, name=name, holder=HOLDER))
        pki.authorities.append(self)
        self.key = pki.key(name)
        if issuer is None:
            self.cert = os.path.join(self.dir, "ca.pem")
            run("openssl", "req", "-x509", "-new", "-key", self.key, "-subj", subject, "-config", self.config,
                "-extensions", "ca_ext", "-days", "3650", "-sha256", "-out", self.cert)
        else:
            self.cert = issuer.issue(name, subject, "ca_ext", self.key)

    def issue(self, name, subject, extensions, key=None, start=None, end=None, md="sha256"):
        key = key or self.pki.key(name)
        csr = os.path.join(self.pki.root, name + ".csr")
        cert = os.path.join(self.pki.root, name + ".pem")
        run("openssl", "req", "-new", "-key", key, "-subj", subject, "-config", self.config, "-out", csr)
        args = ["openssl", "ca", "-batch", "-notext", "-config", self.config, "-extensions", extensions,
                "-keyfile", self.key, "-cert", self.cert, "-in", csr, "-out", cert, "-md", md]
        if start:
            args += ["-startdate", stamp(start)]
        if end:
            args += ["-enddate", stamp(end)]
        run(*args)
        return cert

    def revoke(self, cert, moment):
        """Marks the certificate revoked at `moment` in the database (any date, past or future)."""
        serial = run("openssl", "x509", "-in", cert, "-noout", "-serial").stdout.decode().strip().split("=")[1]
        index = os.path.join(self.dir, "index.txt")
        lines = []
        with open(index) as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if fields[3].upper() == serial.upper():
                    fields[0] = "R"
                    fields[2] = moment.strftime("%y%m%d%H%M%SZ")
                lines.append("\t".join(fields))
        with open(index, "w") as f:
            f.write("\n".join(lines) + "\n")

    def crl(self, name, last, next_):
        pem = os.path.join(self.pki.root, name + ".crl.pem")
        der = os.path.join(self.pki.root, name + ".crl")
        run("openssl", "ca", "-gencrl", "-config", self.config, "-keyfile", self.key, "-cert", self.cert,
            "-crl_lastupdate", stamp(last), "-crl_nextupdate", stamp(next_), "-out", pem)
        run("openssl", "crl", "-in", pem, "-outform", "DER", "-out", der)
        return der


class TPki:
    def __init__(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="dorvik-pki-")
        self.root = self.scratch.name
        self.authorities = []
        self.ca = TAuthority(self, "root", "/CN=Raiz de Teste/O=Dorvik/C=BR")
        self.inter = TAuthority(self, "inter", "/CN=AC Intermediaria de Teste/O=Dorvik/C=BR", self.ca)
        self.leaf = self.inter.issue("leaf", "/CN=FULANO DE TAL:12345678901/O=ICP-Brasil/C=BR", "leaf_ext")
        self.tsa = self.inter.issue("tsa", "/CN=Carimbo de Tempo de Teste/O=Dorvik/C=BR", "tsa_ext")
        self.trusted = self.folder("trusted", [self.ca.cert])
        self.empty = self.folder("empty", [])
        self.chain = self.concat("chain", [self.inter.cert, self.ca.cert])

    def path(self, name):
        return os.path.join(self.root, name)

    def key(self, name, bits=2048):
        path = self.path(name + ".key")
        run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", path)
        return path

    def folder(self, name, certificates):
        path = self.path(name)
        os.makedirs(path)
        for i, cert in enumerate(certificates):
            run("openssl", "x509", "-in", cert, "-outform", "DER", "-out", os.path.join(path, "%d.cer" % i))
        return path

    def concat(self, name, files):
        path = self.path(name + ".pem")
        with open(path, "wb") as out:
            for f in files:
                with open(f, "rb") as src:
                    out.write(src.read())
        return path

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(self.path(name) if not os.path.isabs(name) else name, "rb") as f:
            return f.read()

    def sign(self, name, content, cert, key, certfile=None, detached=False, md="sha256", cades=False):
        doc = self.write(name + ".txt", content)
        out = self.path(name + ".p7s")
        args = ["openssl", "cms", "-sign", "-binary", "-in", doc, "-signer", cert, "-inkey", key,
                "-outform", "DER", "-out", out, "-md", md]
        if not detached:
            args.append("-nodetach")
        if certfile:
            args += ["-certfile", certfile]
        if cades:
            args.append("-cades")
        run(*args)
        return out, doc

    def time_stamp(self, name, data=None, digest_hex=None, md="sha256"):
        """A time-stamp token (DER ContentInfo) of the TSA over data or a given digest."""
        query = self.path(name + ".tsq")
        reply = self.path(name + ".tsr")
        token = self.path(name + ".tst")
        args = ["openssl", "ts", "-query", "-cert", "-" + md, "-out", query]
        if digest_hex:
            args += ["-digest", digest_hex]
        else:
            args += ["-data", self.write(name + ".data", data)]
        run(*args)
        run("openssl", "ts", "-reply", "-config", self.inter.config, "-queryfile", query, "-inkey",
            self.path("tsa.key"), "-signer", self.tsa, "-chain", self.inter.cert, "-out", reply)
        run("openssl", "ts", "-reply", "-in", reply, "-token_out", "-out", token)
        return token, query, reply

    def verify(self, signature, *options):
        """dorvik-verify with --report/--verdict: (exit code, report, verdict, stdout)."""
        report = signature + ".report.xml"
        verdict = signature + ".verdict.xml"
        for f in (report, verdict):
            if os.path.exists(f):
                os.remove(f)
        result = run(VERIFY, *options, "--report", report, "--verdict", verdict, signature, check=False)
        tree = TTree(report) if os.path.exists(report) else None
        words = TTree(verdict) if os.path.exists(verdict) else None
        return result.returncode, tree, words, result.stdout.decode(errors="replace")


def decode_value(text):
    return text or ""


class TTree:
    """The system's XML text form read back by the standard library's parser."""

    def __init__(self, path):
        import xml.etree.ElementTree as ET
        with open(path, "rb") as f:
            data = f.read()
        self.root = ET.fromstring(data)

    def find(self, path):
        return self.root.find("/".join(path.split("\\")) if path else ".")

    def text(self, path):
        node = self.find(path)
        return "" if node is None or node.text is None else node.text

    def names(self, path):
        node = self.find(path)
        return [] if node is None else [child.tag for child in node]

    def all_names(self):
        return {node.tag for node in self.root.iter()}

    def has(self, name):
        return name in self.all_names()
