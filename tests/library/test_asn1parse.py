"""Certificates of the system store decoded to the ASN.1 XML form (encoding 14) through the C
ABI of libdorvik.so and checked element by element against `openssl asn1parse`; every element's
own re-encoding must be the very bytes asn1parse located, and the whole tree must give the file
back."""
import ctypes
import os
import re
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

try:
    from asn1crypto.core import ObjectIdentifier
except ImportError:  # python3-asn1crypto is a listed dependency; without it OIDs are not compared
    ObjectIdentifier = None

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
lib = ctypes.CDLL(os.path.join(BINARY_DIR, "lib", "libdorvik.so"))
I32 = ctypes.c_int32
for name, args, res in [
    ("Prepare", [], None), ("CloseStreams", [], None), ("SetChunck", [ctypes.c_char_p, I32], None),
    ("GetChunck", [ctypes.c_char_p, I32], I32), ("AppendTextChunck", [ctypes.c_char_p, I32], None),
    ("ReadTextChunck", [I32, I32, ctypes.c_char_p], I32), ("Encode", [I32], I32), ("Decode", [I32], I32),
]:
    fn = getattr(lib, name)
    fn.argtypes = args
    fn.restype = res

SAMPLE = 20
UNIVERSAL = {
    0x01: "BOOLEAN", 0x02: "INTEGER", 0x03: "BIT STRING", 0x04: "OCTET STRING", 0x05: "NULL",
    0x06: "OBJECT", 0x0C: "UTF8STRING", 0x10: "SEQUENCE", 0x11: "SET", 0x12: "NUMERICSTRING",
    0x13: "PRINTABLESTRING", 0x14: "T61STRING", 0x16: "IA5STRING", 0x17: "UTCTIME",
    0x18: "GENERALIZEDTIME", 0x1A: "VISIBLESTRING", 0x1C: "UNIVERSALSTRING", 0x1E: "BMPSTRING",
}
# Our element names and the identifier octets they stand for.
NAMED = {
    "BOOLEAN": 0x01, "INTEGER": 0x02, "BITSTRING": 0x03, "OCTETSTRING": 0x04, "NULL": 0x05, "OID": 0x06,
    "UTF8STRING": 0x0C, "NUMERICSTRING": 0x12, "PRINTABLESTRING": 0x13, "IA5STRING": 0x16,
    "UTCTIME": 0x17, "GENTIME": 0x18, "SEQUENCE": 0x30, "SET": 0x31, "CONTEXT": 0xA0,
}
LINE = re.compile(rb"^\s*(\d+):d=\s*(\d+)\s+hl=\s*(\d+)\s+l=\s*(\d+)\s+(cons|prim):\s*(.*?)\s*(?::(.*))?$")


# Constructed elements of other tags are named by their decimal identifier ("163"), which XML
# parsers refuse as a name; for xml.etree they are read as "_163" and written back as "163".
DECIMAL_OPEN = re.compile(rb"<(/?)(\d+)")
DECIMAL_BACK = re.compile(r"<(/?)_(\d+)")


def parse(xml_text):
    return ET.fromstring(DECIMAL_OPEN.sub(rb"<\1_\2", xml_text))


def element_text(element):
    return DECIMAL_BACK.sub(r"<\1\2", ET.tostring(element, encoding="unicode")).encode("utf-8")


def identifier_of(element):
    if element.tag == "ENTITY":
        return int(element.get("Tag"))
    if element.tag.startswith("_"):
        return int(element.tag[1:])
    return NAMED[element.tag]


def asn1parse_name(identifier):
    """The type text asn1parse prints for an identifier octet."""
    number = identifier & 0x1F
    kind = identifier & 0xC0
    if kind == 0x80:
        return "cont [ %d ]" % number
    if kind == 0x40:
        return "appl [ %d ]" % number
    if kind == 0xC0:
        return "priv [ %d ]" % number
    return UNIVERSAL.get(number, "<ASN1 %d>" % number)


def asn1parse(path):
    out = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", path],
                         check=True, capture_output=True).stdout
    rows = []
    for line in out.splitlines():
        m = LINE.match(line)
        if m is None:
            raise AssertionError("unexpected asn1parse line: %r" % line)
        offset, depth, hl, length, cons, name, value = m.groups()
        if name.endswith(b"[HEX DUMP]"):
            name, value = name[:-len(b"[HEX DUMP]")].rstrip(), b"[HEX DUMP]:" + value
        rows.append(dict(offset=int(offset), depth=int(depth), hl=int(hl), l=int(length), cons=cons == b"cons",
                         name=name.decode(), value=value))
    return rows


def sample_certificates():
    """DER copies of an even spread of the store's certificates."""
    names = sorted(n for n in os.listdir("/etc/ssl/certs") if n.endswith(".pem"))
    step = max(1, len(names) // SAMPLE)
    return [os.path.join("/etc/ssl/certs", n) for n in names[::step][:SAMPLE]]


def to_xml(der):
    lib.Prepare()
    lib.SetChunck(der, len(der))
    size = lib.Encode(14)
    out = ctypes.create_string_buffer(size + 1)
    got = lib.ReadTextChunck(0, size, out)
    return out.raw[:got]


def to_der(xml_text):
    lib.Prepare()
    lib.AppendTextChunck(xml_text, len(xml_text))
    size = lib.Decode(14)
    out = ctypes.create_string_buffer(size + 1)
    got = lib.GetChunck(out, size)
    return out.raw[:got]


def walk(element, depth=0):
    yield element, depth
    for child in element:
        yield from walk(child, depth + 1)


class Asn1ParseComparison(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.files = []
        for i, pem in enumerate(sample_certificates()):
            der = os.path.join(cls.work.name, "%02d.der" % i)
            subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", der], check=True)
            cls.files.append(der)

    @classmethod
    def tearDownClass(cls):
        lib.CloseStreams()
        cls.work.cleanup()

    def test_sample_is_large_enough(self):
        self.assertGreaterEqual(len(self.files), min(SAMPLE, 10))

    def test_elements_match_asn1parse(self):
        for path in self.files:
            with self.subTest(path=path):
                with open(path, "rb") as f:
                    der = f.read()
                xml_text = to_xml(der)
                self.assertTrue(xml_text, "no XML for " + path)
                root = parse(xml_text)
                ours = list(walk(root))
                theirs = asn1parse(path)
                self.assertEqual(len(ours), len(theirs))
                for (element, depth), row in zip(ours, theirs):
                    self.compare(der, element, depth, row)

    def compare(self, der, element, depth, row):
        where = "element at offset %d" % row["offset"]
        identifier = identifier_of(element)
        self.assertEqual(depth, row["depth"], where)
        self.assertEqual(asn1parse_name(identifier), row["name"], where)
        self.assertEqual(bool(identifier & 0x20), row["cons"], where)
        # The element alone encodes to exactly the bytes asn1parse found at its place.
        own = der[row["offset"]:row["offset"] + row["hl"] + row["l"]]
        self.assertEqual(to_der(element_text(element)), own, where)
        self.compare_value(der, element, row, where)

    def compare_value(self, der, element, row, where):
        value = element.get("Value", "")
        theirs = row["value"]
        content = der[row["offset"] + row["hl"]:row["offset"] + row["hl"] + row["l"]]
        tag = element.tag
        if tag == "INTEGER":
            expected = int(theirs.decode().replace(" ", ""), 16) if not theirs.startswith(b"-") \
                else -int(theirs[1:].decode(), 16)
            got = int.from_bytes(bytes.fromhex(value), "big", signed=True) if element.get("Binary") == "1" \
                else int(value)
            self.assertEqual(got, expected, where)
        elif tag == "OID":
            self.assertTrue(theirs, where)
            if ObjectIdentifier is not None:
                dotted = ObjectIdentifier.load(der[row["offset"]:row["offset"] + row["hl"] + row["l"]]).dotted
                self.assertEqual(value, dotted, where)
        elif tag in ("UTF8STRING", "PRINTABLESTRING", "NUMERICSTRING"):
            self.assertEqual(value.encode("utf-8"), theirs, where)
        elif tag == "IA5STRING":
            self.assertEqual(bytes.fromhex(value), theirs, where)
        elif tag in ("UTCTIME", "GENTIME"):
            self.assertEqual(bytes.fromhex(element.get("Original")), theirs, where)
            self.assertRegex(value, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$", where)
        elif tag == "BOOLEAN":
            self.assertEqual(value == "1", int(theirs) != 0, where)
        elif tag == "OCTETSTRING":
            self.assertEqual(bytes.fromhex(value), content, where)
            if theirs is not None and theirs.startswith(b"[HEX DUMP]:"):
                self.assertEqual(bytes.fromhex(theirs[len(b"[HEX DUMP]:"):].decode()), content, where)
            elif theirs is not None:
                self.assertEqual(theirs, content, where)
        elif tag == "BITSTRING":
            self.assertEqual(int(element.get("Unused")), content[0], where)
            self.assertEqual(bytes.fromhex(value), content[1:], where)
        elif tag == "ENTITY":
            self.assertEqual(bytes.fromhex(value), content, where)

    def test_whole_tree_gives_the_file_back(self):
        for path in self.files:
            with self.subTest(path=path):
                with open(path, "rb") as f:
                    der = f.read()
                self.assertEqual(to_der(to_xml(der)), der)


if __name__ == "__main__":
    unittest.main()
