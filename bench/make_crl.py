"""Writes a signed X.509 CRL (DER) with N revoked entries, each with an 8-byte serial, a
revocation time and a reason-code extension, as `openssl ca -gencrl` would give them; the
signature is made by the openssl CLI with the CA key.   make_crl.py N ca.pem ca.key out.der"""
import subprocess
import sys
import tempfile
import os


def length(n):
    if n < 128:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def elements(der):
    """The (tag, whole element) pairs of a run of DER elements."""
    pos = 0
    while pos < len(der):
        tag, first = der[pos], der[pos + 1]
        hl, n = 2, first
        if first & 0x80:
            count = first & 0x7F
            n = int.from_bytes(der[pos + 2:pos + 2 + count], "big")
            hl += count
        yield tag, der[pos:pos + hl + n], der[pos + hl:pos + hl + n]
        pos += hl + n


def main():
    count, ca_pem, ca_key, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    cert = subprocess.run(["openssl", "x509", "-in", ca_pem, "-outform", "DER"], check=True,
                          capture_output=True).stdout
    _, _, cert_content = next(elements(cert))
    _, _, tbs_content = next(elements(cert_content))
    fields = list(elements(tbs_content))
    if fields[0][0] == 0xA0:
        fields = fields[1:]
    issuer = fields[2][1]   # serial, signature algorithm, issuer
    sha256_rsa = tlv(0x30, tlv(0x06, bytes.fromhex("2A864886F70D01010B")) + b"\x05\x00")
    reason = tlv(0x30, tlv(0x30, tlv(0x06, bytes.fromhex("551D15")) + tlv(0x04, b"\x0a\x01\x01")))
    when = tlv(0x17, b"240501093000Z")
    entries = []
    for i in range(count):
        serial = (0x1000000000000000 + i * 7919).to_bytes(8, "big")
        entries.append(tlv(0x30, tlv(0x02, serial) + when + reason))
    revoked = tlv(0x30, b"".join(entries))
    crl_number = tlv(0xA0, tlv(0x30, tlv(0x30, tlv(0x06, bytes.fromhex("551D14")) + tlv(0x04, tlv(0x02, b"\x01")))))
    tbs = tlv(0x30, tlv(0x02, b"\x01") + sha256_rsa + issuer + tlv(0x17, b"240501000000Z")
              + tlv(0x17, b"340501000000Z") + revoked + crl_number)
    with tempfile.TemporaryDirectory() as work:
        tbs_path = os.path.join(work, "tbs.der")
        with open(tbs_path, "wb") as f:
            f.write(tbs)
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", ca_key, tbs_path], check=True,
                                   capture_output=True).stdout
    with open(out, "wb") as f:
        f.write(tlv(0x30, tbs + sha256_rsa + tlv(0x03, b"\x00" + signature)))


if __name__ == "__main__":
    main()
