"""The encoding layer checked against Python's own base64, binascii and zlib (and the openssl
CLI for base64), on random inputs in both directions, through the encoding_cli program."""
import base64
import binascii
import os
import random
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
CLI = os.path.join(BINARY_DIR, "bin", "encoding_cli")
CHUNK = 1048576


def run(args, data):
    proc = subprocess.run([CLI] + [str(a) for a in args], input=data, capture_output=True)
    return proc.returncode, proc.stdout, proc.stderr


def encode(number, data):
    rc, out, err = run(["encode", number], data)
    assert rc == 0, (number, rc, err)
    return out


def decode(number, text):
    rc, out, err = run(["decode", number], text)
    if rc == 3:
        return None
    if rc == 4:
        raise RuntimeError(err.decode().strip())
    assert rc == 0, (number, rc, err)
    return out


def lines76(text):
    return b"\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))


def records(data):
    out = b""
    for at in range(0, len(data), CHUNK):
        packed = zlib.compress(data[at:at + CHUNK], 9)
        out += struct.pack("<i", len(packed)) + packed
    return out


def hexbin2(data):
    return b"".join(b"#%02X" % b if b in (0, 9, 10, 13, 34, 35) else bytes([b]) for b in data)


class CodecsAgainstPython(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(CLI):
            raise unittest.SkipTest("encoding_cli not built")
        rng = random.Random(20261208)
        sizes = [0, 1, 2, 3, 4, 56, 57, 58, 113, 114, 115, 1000, 65537]
        sizes += [rng.randrange(0, 4000) for _ in range(3)]
        cls.samples = [bytes(rng.getrandbits(8) for _ in range(n)) for n in sizes]
        # Compressible samples too, so zlib streams have matches and several blocks.
        cls.samples += [(b"signature " * 500) + bytes(range(256)), b"\x00" * 100000]

    def test_hex(self):
        for data in self.samples:
            ref = binascii.hexlify(data).upper()
            self.assertEqual(encode(12, data), ref)
            self.assertEqual(encode(15, data), ref)
            self.assertEqual(encode(2, data), b"hexbin:/" + ref if data else b"")
            self.assertEqual(decode(12, ref), data)
            self.assertEqual(decode(2, b"hexbin:/" + ref), data if data else None)
            # Lenient: lower case with separators, as other tools write it.
            spaced = binascii.hexlify(data, " ", 1) if data else b""
            self.assertEqual(decode(15, spaced), data)
            self.assertEqual(decode(15, binascii.hexlify(data)), data)

    def test_hexbin2(self):
        for data in self.samples[:14]:
            ref = b"hexbin2:/" + hexbin2(data) if data else b""
            self.assertEqual(encode(6, data), ref)
            self.assertEqual(encode(0, data), ref)
            if data:
                self.assertEqual(decode(6, ref), data)
                self.assertEqual(decode(0, ref), data)

    def test_base64(self):
        for data in self.samples:
            ref = base64.b64encode(data)
            self.assertEqual(encode(8, data), b"mime64:/" + ref)
            self.assertEqual(encode(7, data), lines76(ref))
            self.assertEqual(decode(7, ref), data)
            self.assertEqual(decode(7, base64.encodebytes(data)), data)  # LF-broken lines
            self.assertEqual(decode(8, b"mime64:/" + ref), data if data else None)
            self.assertEqual(base64.b64decode(encode(7, data)), data)

    def test_base64_against_openssl(self):
        openssl = shutil.which("openssl")
        if not openssl:
            self.skipTest("no openssl")
        for data in self.samples[:16]:
            wrapped = subprocess.run([openssl, "base64"], input=data, capture_output=True, check=True).stdout
            self.assertEqual(decode(7, wrapped), data)
            ours = encode(7, data)
            back = subprocess.run([openssl, "base64", "-d"], input=ours.replace(b"\r", b"") + b"\n",
                                  capture_output=True, check=True).stdout
            self.assertEqual(back, data)

    def test_single_deflate(self):
        inner = {9: lambda p: lines76(base64.b64encode(p)),
                 10: lambda p: b"zm:/mime64:/" + base64.b64encode(p),
                 11: lambda p: b"z113hb:/hexbin2:/" + hexbin2(p),
                 17: lambda p: b"zh:/hexbin:/" + binascii.hexlify(p).upper(),
                 18: lambda p: binascii.hexlify(p).upper()}
        for index, data in enumerate(self.samples):
            packed = zlib.compress(data)  # one stream at the default level
            for number, form in inner.items():
                ours = encode(number, data)
                self.assertEqual(ours, form(packed), number)
                self.assertEqual(decode(number, form(packed)), data, number)
                if index % 4 == 0:  # streams from other compression levels inflate the same
                    self.assertEqual(decode(number, form(zlib.compress(data, 1))), data, number)
            # Recognition: an empty inflated stream is still a stream (the zm attempt made it).
            self.assertEqual(decode(0, inner[10](packed)), data)

    def test_chunked_deflate(self):
        big = random.Random(7).randbytes(CHUNK + 1)
        for data in [b"", b"x", self.samples[10], big]:
            recs = records(data)
            self.assertEqual(encode(4, data), b"zip:/" + (b"hexbin:/" + binascii.hexlify(recs).upper() if recs else b""))
            self.assertEqual(encode(5, data), b"zhb:/" + (b"hexbin2:/" + hexbin2(recs) if recs else b""))
            if data:
                self.assertEqual(decode(4, b"zip:/mime64:/" + base64.b64encode(recs)), data)
                self.assertEqual(decode(0, b"zhb:/hexbin:/" + binascii.hexlify(recs)), data)

    def test_damaged_zlib_carries_zlibs_message(self):
        data = b"a damaged stream must not pass " * 20
        packed = bytearray(zlib.compress(data))
        cases = [bytes([0x78, 0x00]) + bytes(packed[2:]),   # header check
                 bytes(packed[:-1]) + bytes([packed[-1] ^ 1]),  # adler32
                 bytes(packed[:len(packed) // 2])]             # cut short
        for damaged in cases:
            try:
                zlib.decompress(damaged)
                self.fail("python accepted the damaged stream")
            except zlib.error as e:
                python_message = str(e)
            with self.assertRaises(RuntimeError) as ours:
                decode(17, b"zh:/hexbin:/" + binascii.hexlify(damaged).upper())
            message = str(ours.exception)
            if "incomplete" in python_message or "truncated" in python_message:
                self.assertEqual(message, "buffer error")
            else:
                self.assertIn(message, python_message)

    def test_tes64(self):
        # tes64 is base64's bit layout over the 64 characters from "0", zero-filled, no "=".
        def tes64(data):
            pad = (3 - len(data) % 3) % 3
            bits = base64.b64encode(data + b"\x00" * pad).rstrip(b"=")
            alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
            return b"tes64:%d/" % pad + bytes(48 + alphabet.index(c) for c in bits)
        for data in self.samples[:16]:
            if not data:
                self.assertEqual(encode(1, data), b"")
                continue
            self.assertEqual(encode(1, data), tes64(data))
            self.assertEqual(decode(1, tes64(data)), data)

    def test_transcode_base64_hex(self):
        for data in self.samples[:12]:
            b64 = base64.b64encode(data)
            hexed = binascii.hexlify(data).upper()
            rc, out, _ = run(["transcode", 7, 12], b64)
            self.assertEqual((rc, out), (0, hexed))
            rc, out, _ = run(["transcode", 12, 7], hexed)
            self.assertEqual((rc, out), (0, lines76(b64)))


if __name__ == "__main__":
    sys.exit(unittest.main())
