"""Puts a CRL (DER) into the crls [1] field of a CMS SignedData (DER) by splicing bytes, so a
CRL of any size goes in without being parsed.   embed_crl.py in.p7s crl.der out.p7s"""
import sys

from make_crl import elements, tlv


def main():
    cms = open(sys.argv[1], "rb").read()
    crl = open(sys.argv[2], "rb").read()
    _, _, info = next(elements(cms))
    parts = list(elements(info))
    oid, wrapper = parts[0][1], parts[1]
    _, _, signed = next(elements(wrapper[2]))
    fields = [whole for _, whole, _ in elements(signed)]
    fields.insert(len(fields) - 1, tlv(0xA1, crl))
    out = tlv(0x30, oid + tlv(0xA0, tlv(0x30, b"".join(fields))))
    open(sys.argv[3], "wb").write(out)


if __name__ == "__main__":
    main()
