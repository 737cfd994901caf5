"""A signing request with a large document through the buffer exports of libdorvik.so, as the
host sends it: the request's text appended in slices, Decode(14), Encode(12), the answer read
back in slices. The library keeps the document's hex as bytes while it signs; the buffers must
read exactly as the texts they were given, and the signature must be the one the request read
as plain text gives (the same request with lower-case hex, which the library reads whole)."""
import base64
import ctypes
import os
import subprocess
import tempfile
import unittest

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
lib = ctypes.CDLL(os.path.join(BINARY_DIR, "lib", "libdorvik.so"))
I32 = ctypes.c_int32
for name, args, res in [
    ("Prepare", [], None), ("CloseStreams", [], None), ("GetChunck", [ctypes.c_char_p, I32], I32),
    ("AppendTextChunck", [ctypes.c_char_p, I32], None), ("ReadTextChunck", [I32, I32, ctypes.c_char_p], I32),
    ("Encode", [I32], I32), ("Decode", [I32], I32), ("GetError", [ctypes.c_char_p, I32], I32),
    ("SetChunck", [ctypes.c_char_p, I32], None),
]:
    fn = getattr(lib, name)
    fn.argtypes = args
    fn.restype = res

SLICE = 1 << 16


def append(text):
    for i in range(0, len(text), SLICE):
        piece = text[i:i + SLICE]
        lib.AppendTextChunck(piece, len(piece))


def read_text(size, slice_size=SLICE + 3):
    out = ctypes.create_string_buffer(slice_size)
    parts, offset = [], 0
    while offset < size:
        got = lib.ReadTextChunck(offset, slice_size, out)
        if got <= 0:
            break
        parts.append(out.raw[:got])
        offset += got
    return b"".join(parts)


def status():
    out = ctypes.create_string_buffer(64)
    n = lib.GetError(out, 63)
    return out.raw[:max(n, 0)].decode()


class Road(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="dorvik-road-")
        key, cert = os.path.join(cls.dir, "key.pem"), os.path.join(cls.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-subj", "/CN=Road Test", "-days", "30"], check=True, capture_output=True)
        pkcs1 = subprocess.run(["openssl", "rsa", "-in", key, "-traditional", "-outform", "DER"], check=True,
                               capture_output=True).stdout
        der = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"], check=True,
                             capture_output=True).stdout
        cls.cert = cert
        cls.pvk = base64.b64encode(pkcs1).decode()
        cls.cert_hex = der.hex().upper()
        cls.document = os.urandom(3 << 20) + b"\0\"<>&'" * 100
        cls.path = os.path.join(cls.dir, "document.bin")
        with open(cls.path, "wb") as f:
            f.write(cls.document)

    def request(self, content_hex, extra=""):
        return ('<SIGNEDDATA Pvk="%s" Certificate0="%s" Content="%s" Binary="1" SigningTime="0"%s/>\r\n'
                % (self.pvk, self.cert_hex, content_hex, extra)).encode()

    def sign(self, request):
        """DER of the request; the text buffer must still read as the request afterwards."""
        lib.Prepare()
        try:
            append(request)
            n = lib.Decode(14)
            self.assertEqual(status(), "OK")
            self.assertGreater(n, 0)
            out = ctypes.create_string_buffer(n)
            self.assertEqual(lib.GetChunck(out, n), n)
            der = out.raw[:n]
            self.assertEqual(read_text(len(request)), request, "the text buffer changed")
            # Decoded again, from the bytes it now holds: the same signature.
            self.assertEqual(lib.Decode(14), n)
            self.assertEqual(lib.GetChunck(out, n), n)
            self.assertEqual(out.raw[:n], der)
            # The answer as hex, read in slices of odd sizes.
            size = lib.Encode(12)
            self.assertEqual(size, 2 * n)
            self.assertEqual(read_text(size, 4097), der.hex().upper().encode())
            # A write into the byte buffer after Encode does not change the text read out.
            lib.SetChunck(b"\xAA" * 16, 16)
            self.assertEqual(read_text(64, 64), der.hex().upper().encode()[:64])
            return der
        finally:
            lib.CloseStreams()

    def verify(self, der, detached):
        sig = os.path.join(self.dir, "sig.p7s")
        with open(sig, "wb") as f:
            f.write(der)
        cmd = ["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", sig, "-CAfile", self.cert,
               "-purpose", "any", "-out", os.path.join(self.dir, "out.bin")]
        if detached:
            cmd += ["-content", self.path]
        result = subprocess.run(cmd, capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        with open(os.path.join(self.dir, "out.bin"), "rb") as f:
            self.assertEqual(f.read(), self.document)

    def test_held_document_signs_as_the_text_read_whole(self):
        hex_upper = self.document.hex().upper()
        for extra, detached in (("", False), (' Dettached="1"', True), (' Hash="2.16.840.1.101.3.4.2.3"', False)):
            with self.subTest(extra=extra):
                held = self.sign(self.request(hex_upper, extra))
                whole = self.sign(self.request(self.document.hex(), extra))  # lower case: read as text
                self.assertEqual(held, whole)
                self.verify(held, detached)

    def test_text_held_as_bytes_is_cut_and_written_as_text(self):
        request = self.request(self.document.hex().upper())
        lib.Prepare()
        try:
            append(request)
            self.assertGreater(lib.Decode(14), 0)
            # A read moves the position; a write there cuts the text after it.
            cut = request.index(b'Content="') + 100
            out = ctypes.create_string_buffer(cut)
            self.assertEqual(lib.ReadTextChunck(0, cut, out), cut)
            lib.AppendTextChunck(b"ZZ", 2)
            self.assertEqual(read_text(cut + 10), request[:cut] + b"ZZ")
        finally:
            lib.CloseStreams()

    def test_refused_requests_leave_the_text_as_it_was(self):
        # No key: the builder fails, the text still reads back, the status names the failure.
        request = ('<SIGNEDDATA Content="%s" Binary="1"/>' % self.document.hex().upper()).encode()
        lib.Prepare()
        try:
            append(request)
            self.assertEqual(lib.Decode(14), 0)
            self.assertEqual(status(), "SignatureFailed")
            self.assertEqual(read_text(len(request)), request)
        finally:
            lib.CloseStreams()


if __name__ == "__main__":
    unittest.main()
