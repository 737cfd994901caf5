"""Requests to the library's actions through its C interface (the binary buffer, Encode(16), the
text buffer), and reading the system's XML text form of the responses."""
import ctypes
import os
import re
import tempfile

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
ARC = "1.3.6.1.4.1.61524.3.1.2.1.1."
CREATE_CREDENTIAL, DECRYPT, ENCRYPT, HASH, SYSTEM_INFORMATION = (ARC + s for s in ("6.1", "6.2", "6.3", "6.4", "6.5"))

# The library may open the user's certificate database: never the real one.
if "DORVIK_TEST_HOME" not in os.environ:
    os.environ["DORVIK_TEST_HOME"] = tempfile.mkdtemp(prefix="dorvik-actions-home-")
    os.environ["HOME"] = os.environ["DORVIK_TEST_HOME"]

lib = ctypes.CDLL(os.path.join(BINARY_DIR, "lib", "libdorvik.so"))
I32 = ctypes.c_int32
for name, args, res in [
    ("Prepare", [], None), ("CloseStreams", [], None), ("SetChunck", [ctypes.c_char_p, I32], None),
    ("GetChunck", [ctypes.c_char_p, I32], I32), ("AppendTextChunck", [ctypes.c_char_p, I32], None),
    ("ReadTextChunck", [I32, I32, ctypes.c_char_p], I32), ("Encode", [I32], I32), ("Decode", [I32], I32),
    ("GetError", [ctypes.c_char_p, I32], I32),
]:
    fn = getattr(lib, name)
    fn.argtypes = args
    fn.restype = res


def element(name, value=b"", raw=False):
    """One child element; raw values are written with their length, as the system writes data."""
    if isinstance(value, str):
        value = value.encode("utf-8")
    name = name.encode()
    if raw:
        return b'<%s _enctype="length" _length="%d">%s</%s>' % (name, len(value), value, name)
    escaped = value.replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;")
    return b"<%s>%s</%s>" % (name, escaped, name)


def request(identifier, *children):
    return b"<" + identifier.encode() + b">" + b"".join(children) + b"</" + identifier.encode() + b">"


def encode16(request_bytes):
    """The response text of a request given in the binary buffer."""
    lib.Prepare()
    try:
        lib.SetChunck(request_bytes, len(request_bytes))
        n = lib.Encode(16)
        out = ctypes.create_string_buffer(n + 1)
        got = lib.ReadTextChunck(0, n, out)
        return out.raw[:got]
    finally:
        lib.CloseStreams()


def decode14(xml):
    """DER of an ASN.1 description (SIGNEDDATA included) and the conversion status."""
    lib.Prepare()
    try:
        lib.AppendTextChunck(xml.encode() if isinstance(xml, str) else xml, 0)
        n = lib.Decode(14)
        out = ctypes.create_string_buffer(max(n, 1))
        got = lib.GetChunck(out, n)
        status = ctypes.create_string_buffer(256)
        lib.GetError(status, 255)
        return out.raw[:got], status.value.decode()
    finally:
        lib.CloseStreams()


_REFS = re.compile(rb"&(#x[0-9A-Fa-f]+|#[0-9]+|amp|lt|gt|quot|apos);")


def unescape(text):
    names = {b"amp": b"&", b"lt": b"<", b"gt": b">", b"quot": b'"', b"apos": b"'"}

    def one(m):
        ref = m.group(1)
        if ref.startswith(b"#x"):
            return bytes([int(ref[2:], 16)]) if int(ref[2:], 16) < 256 else chr(int(ref[2:], 16)).encode()
        if ref.startswith(b"#"):
            return bytes([int(ref[1:])])
        return names[ref]

    return _REFS.sub(one, text)


class Node:
    """An element of the system's XML text form: name, attributes, value, children."""

    def __init__(self, name):
        self.name, self.attrs, self.value, self.children = name, {}, b"", []

    def child(self, name):
        for c in self.children:
            if c.name == name:
                return c
        return None

    def __repr__(self):
        return "Node(%r, %r, %d children)" % (self.name, self.attrs, len(self.children))


_ATTR = re.compile(rb'\s*([^\s=/>]+)\s*=\s*"([^"]*)"')


def parse(text):
    """Parses one element (and its subtree) of the system's text form."""
    node, end = _parse(text, text.index(b"<"))
    return node


def _parse(text, pos):
    assert text[pos:pos + 1] == b"<", text[pos:pos + 40]
    m = re.compile(rb"<([^\s/>]+)").match(text, pos)
    node = Node(m.group(1).decode())
    pos = m.end()
    length = None
    while True:
        a = _ATTR.match(text, pos)
        if not a:
            break
        key, val = a.group(1).decode(), unescape(a.group(2))
        if key == "_length":
            length = int(val)
        else:
            node.attrs[key] = val.decode("utf-8", "surrogateescape")
        pos = a.end()
    while text[pos:pos + 1] in b" \t":
        pos += 1
    if text[pos:pos + 2] == b"/>":
        return node, pos + 2
    assert text[pos:pos + 1] == b">", text[pos:pos + 40]
    pos += 1
    if length is not None:
        node.value = text[pos:pos + length]
        pos += length
    close = b"</" + node.name.encode() + b">"
    while True:
        while text[pos:pos + 1] in (b"\r", b"\n", b"\t"):
            pos += 1
        if text.startswith(close, pos):
            return node, pos + len(close)
        if text[pos:pos + 1] == b"<":
            child, pos = _parse(text, pos)
            node.children.append(child)
        else:
            nxt = text.index(b"<", pos)
            node.value += unescape(text[pos:nxt])
            pos = nxt


def run(identifier, *children):
    text = encode16(request(identifier, *children))
    assert text, "no response"
    return parse(text)
