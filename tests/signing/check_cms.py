"""Checks a CMS SignedData with an independent parser: check_cms.py CMS CONTENT DIGEST SIGNER_PEM [CHAIN_PEM...]

The message digest must be the content's digest, the signing-certificate attribute must hold the
signer certificate's digest, the chain must be in the certificates, and the algorithm OIDs must be
the ones the signer writes."""
import hashlib
import sys

from asn1crypto import cms, pem, tsp, x509

SIGNATURE_OIDS = {
    "sha1": "1.2.840.113549.1.1.5", "sha224": "1.2.840.113549.1.1.14", "sha256": "1.2.840.113549.1.1.11",
    "sha384": "1.2.840.113549.1.1.12", "sha512": "1.2.840.113549.1.1.13",
}
DIGEST_OIDS = {
    "sha1": "1.3.14.3.2.26", "sha224": "2.16.840.1.101.3.4.2.4", "sha256": "2.16.840.1.101.3.4.2.1",
    "sha384": "2.16.840.1.101.3.4.2.2", "sha512": "2.16.840.1.101.3.4.2.3",
}


def load_cert(path):
    data = open(path, "rb").read()
    if pem.detect(data):
        _, _, data = pem.unarmor(data)
    return x509.Certificate.load(data)


def main():
    cms_path, content_path, digest, signer_path = sys.argv[1:5]
    chain_paths = sys.argv[5:]
    info = cms.ContentInfo.load(open(cms_path, "rb").read())
    assert info["content_type"].dotted == "1.2.840.113549.1.7.2", info["content_type"].dotted
    sd = info["content"]
    content = open(content_path, "rb").read()
    signer = load_cert(signer_path)

    certs = [c.chosen.dump() for c in sd["certificates"]]
    assert certs[0] == signer.dump(), "the signer certificate comes first"
    for p in chain_paths:
        assert load_cert(p).dump() in certs, "chain certificate missing: " + p

    si = sd["signer_infos"][0]
    assert si["digest_algorithm"]["algorithm"].dotted == DIGEST_OIDS[digest]
    assert si["signature_algorithm"]["algorithm"].dotted == SIGNATURE_OIDS[digest]
    assert sd["digest_algorithms"][0]["algorithm"].dotted == DIGEST_OIDS[digest]
    sid = si["sid"].chosen
    assert sid["serial_number"].native == signer.serial_number
    assert sid["issuer"] == signer.issuer

    attrs = {a["type"].dotted: a["values"] for a in si["signed_attrs"]}
    assert attrs["1.2.840.113549.1.9.3"][0].dotted == "1.2.840.113549.1.7.1"
    assert attrs["1.2.840.113549.1.9.4"][0].native == hashlib.new(digest, content).digest(), "message digest"
    if digest == "sha1":
        ess = tsp.SigningCertificate.load(attrs["1.2.840.113549.1.9.16.2.12"][0].dump())
        assert ess["certs"][0]["cert_hash"].native == hashlib.sha1(signer.dump()).digest()
    else:
        ess = tsp.SigningCertificateV2.load(attrs["1.2.840.113549.1.9.16.2.47"][0].dump())
        cert_id = ess["certs"][0]
        expect_alg = DIGEST_OIDS[digest]
        assert cert_id["hash_algorithm"]["algorithm"].dotted == expect_alg
        assert cert_id["cert_hash"].native == hashlib.new(digest, signer.dump()).digest(), "certificate hash"
        assert cert_id["issuer_serial"]["serial_number"].native == signer.serial_number
    assert "1.2.840.113549.1.9.5" in attrs, "signing time"

    encap = sd["encap_content_info"]
    if encap["content"].native is not None:
        assert encap["content"].native == content, "attached content"
    print("cms ok")


if __name__ == "__main__":
    main()
