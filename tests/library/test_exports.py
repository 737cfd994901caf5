"""The buffer exports of libdorvik.so, called through ctypes as other programs call them."""
import ctypes
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
lib = ctypes.CDLL(os.path.join(BINARY_DIR, "lib", "libdorvik.so"))

I32 = ctypes.c_int32
for name, args, res in [
    ("Prepare", [], None), ("CloseStreams", [], None),
    ("SetChunck", [ctypes.c_char_p, I32], None), ("AppendChunck", [ctypes.c_char_p, I32], None),
    ("AppendChunckByte", [I32], None), ("GetChunck", [ctypes.c_char_p, I32], I32),
    ("ReadChunck", [I32, I32, ctypes.c_char_p], I32), ("AppendTextChunck", [ctypes.c_char_p, I32], None),
    ("ReadTextChunck", [I32, I32, ctypes.c_char_p], I32), ("CopyTextToBinary", [], I32),
    ("CopyBinaryToText", [], I32), ("Encode", [I32], I32), ("Decode", [I32], I32),
    ("Transform", [ctypes.c_char_p], I32),
    ("LoadBinaryFromFile", [ctypes.c_char_p], I32), ("SaveBinaryToFile", [ctypes.c_char_p], I32),
    ("LoadTextFromFile", [ctypes.c_char_p], I32), ("SaveTextToFile", [ctypes.c_char_p], I32),
    ("HashFile", [ctypes.c_char_p, I32], I32), ("GetError", [ctypes.c_char_p, I32], I32),
    ("LoadImageFromFile", [ctypes.c_char_p, I32], I32), ("RescaleImage", [I32, I32], None),
]:
    fn = getattr(lib, name)
    fn.argtypes = args
    fn.restype = res


def read(path):
    with open(path, "rb") as f:
        return f.read()


def text():
    """The whole text buffer."""
    out = ctypes.create_string_buffer(1 << 16)
    got = lib.ReadTextChunck(0, len(out), out)
    return out.raw[:got]


def binary():
    out = ctypes.create_string_buffer(1 << 16)
    got = lib.GetChunck(out, len(out))
    return out.raw[:got]


class Buffers(unittest.TestCase):
    def setUp(self):
        lib.Prepare()

    def tearDown(self):
        lib.CloseStreams()

    def test_prepare_and_close_are_idempotent(self):
        lib.AppendTextChunck(b"abc", 0)
        lib.Prepare()
        lib.Prepare()
        self.assertEqual(text(), b"")
        self.assertEqual(binary(), b"")
        lib.CloseStreams()
        lib.CloseStreams()
        # Without buffers every call is harmless and answers 0.
        self.assertEqual(lib.Encode(12), 0)
        self.assertEqual(lib.ReadTextChunck(0, 10, ctypes.create_string_buffer(10)), 0)
        lib.AppendTextChunck(b"x", 1)
        lib.Prepare()

    def test_text_writes_cut_after_position(self):
        lib.AppendTextChunck(b"abc", 0)       # the length argument is not used
        self.assertEqual(text(), b"abc")
        lib.Prepare()
        lib.AppendTextChunck(b"abcd", 4)
        buf = ctypes.create_string_buffer(2)
        self.assertEqual(lib.ReadTextChunck(0, 2, buf), 2)
        lib.AppendTextChunck(b"X", 1)
        self.assertEqual(text(), b"abX")
        self.assertEqual(lib.ReadTextChunck(99, 5, buf), 0)

    def test_text_is_cut_at_zero_byte(self):
        lib.AppendTextChunck(b"ab\0cd", 5)
        self.assertEqual(text(), b"ab")

    def test_binary_overwrites_and_extends(self):
        lib.SetChunck(b"abcdef", 6)
        out = ctypes.create_string_buffer(3)
        self.assertEqual(lib.ReadChunck(1, 3, out), 3)   # position now 4
        self.assertEqual(out.raw, b"bcd")
        lib.AppendChunck(b"XYZ", 3)
        lib.AppendChunckByte(0x141)                      # only the low byte
        self.assertEqual(binary(), b"abcdXYZA")
        self.assertEqual(lib.ReadChunck(8, 3, out), 0)
        self.assertEqual(lib.ReadChunck(-1, 3, out), 0)

    def test_encode_decode_through_buffers(self):
        data = bytes(range(256)) * 3
        lib.SetChunck(data, len(data))
        n = lib.Encode(12)
        self.assertEqual(n, 2 * len(data))
        self.assertEqual(text(), data.hex().upper().encode())
        self.assertEqual(lib.Decode(12), len(data))
        self.assertEqual(binary(), data)
        # base64 text to hex text, as the host converts
        lib.Prepare()
        lib.AppendTextChunck(b"aGVsbG8=", 0)
        self.assertEqual(lib.Decode(7), 5)
        self.assertEqual(lib.Encode(12), 10)
        self.assertEqual(text(), b"68656C6C6F")

    def test_rejected_decode_empties_binary(self):
        lib.SetChunck(b"abc", 3)
        lib.AppendTextChunck(b"HEXBIN:/4142", 0)      # markers are case-sensitive
        self.assertEqual(lib.Decode(2), 0)
        self.assertEqual(lib.Encode(12), 0)
        lib.Prepare()
        self.assertEqual(lib.Decode(22), 0)
        self.assertEqual(lib.Encode(22), 0)
        self.assertEqual(lib.Encode(-1), 0)

    def test_copy_between_buffers(self):
        lib.AppendTextChunck(b"hello", 0)
        self.assertEqual(lib.CopyTextToBinary(), 5)
        self.assertEqual(binary(), b"hello")
        lib.SetChunck(b"J", 1)     # GetChunck left the position after the five bytes
        self.assertEqual(lib.CopyBinaryToText(), 6)
        self.assertEqual(text(), b"helloJ")


class Files(unittest.TestCase):
    def setUp(self):
        lib.Prepare()
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        lib.CloseStreams()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_hash_file_matches_hashlib(self):
        p = self.path("data.bin")
        with open(p, "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024 + 17))
        content = read(p)
        for number, name in [(0, "md5"), (1, "sha1"), (4, "sha224"), (5, "sha256"), (6, "sha384"), (7, "sha512")]:
            lib.Prepare()
            n = lib.HashFile(p.encode(), number)
            self.assertEqual(text(), hashlib.new(name, content).hexdigest().upper().encode(), name)
            self.assertEqual(n, 2 * hashlib.new(name, content).digest_size)
        # only the low 8 bits name the algorithm
        lib.Prepare()
        self.assertEqual(lib.HashFile(p.encode(), 0x105), 64)

    def test_hash_file_edge_cases(self):
        empty = self.path("empty")
        open(empty, "wb").close()
        self.assertEqual(lib.HashFile(empty.encode(), 5), 64)
        self.assertEqual(text(), hashlib.sha256(b"").hexdigest().upper().encode())
        lib.Prepare()
        self.assertEqual(lib.HashFile(empty.encode(), 9), 0)
        self.assertEqual(lib.HashFile(self.path("missing").encode(), 5), 0)
        # MD2 is not in the installed OpenSSL: no digest text, no failure
        self.assertEqual(lib.HashFile(empty.encode(), 2), 0)

    def test_save_and_load_round_trip_without_leftovers(self):
        p = self.path("out.bin")
        data = bytes(range(256))
        lib.SetChunck(data, len(data))
        self.assertEqual(lib.SaveBinaryToFile(p.encode()), 256)
        self.assertEqual(read(p), data)
        self.assertFalse(os.path.exists(p + ".~tmp"))
        lib.Prepare()
        self.assertEqual(lib.LoadBinaryFromFile(p.encode()), 256)
        self.assertEqual(binary(), data)
        self.assertEqual(lib.LoadBinaryFromFile(self.path("nope").encode()), 0)
        self.assertEqual(binary(), data)
        lib.AppendTextChunck(b"head:", 0)
        t = self.path("t.txt")
        with open(t, "wb") as f:
            f.write(b"x" * 250000)
        self.assertEqual(lib.LoadTextFromFile(t.encode()), 250005)
        self.assertEqual(lib.SaveTextToFile(p.encode()), 250005)
        self.assertEqual(read(p), b"head:" + b"x" * 250000)

    def test_failed_save_keeps_old_file_and_returns_zero(self):
        lib.SetChunck(b"new", 3)
        self.assertEqual(lib.SaveBinaryToFile(self.path("no/such/dir/x").encode()), 0)
        # a directory in the way: the save fails, nothing is half-written
        os.mkdir(self.path("d"))
        self.assertEqual(lib.SaveBinaryToFile(self.path("d").encode()), 0)
        self.assertTrue(os.path.isdir(self.path("d")))
        self.assertEqual(os.listdir(self.dir.name), ["d"])

    def test_folder_macros_are_expanded(self):
        os.environ["TEMP"] = self.dir.name
        lib.SetChunck(b"macro", 5)
        self.assertEqual(lib.SaveBinaryToFile(b"($MyTemp)\\m.bin"), 5)
        self.assertEqual(read(self.path("m.bin")), b"macro")

    def test_backslash_names_reach_the_file_system(self):
        p = self.path("bs.bin")
        lib.SetChunck(b"abc", 3)
        self.assertEqual(lib.SaveBinaryToFile(p.replace("/", "\\").encode()), 3)
        self.assertEqual(read(p), b"abc")


class Status(unittest.TestCase):
    def test_get_error_sizes(self):
        # An ASN.1 conversion sets the status ("OK"), so there is a text to measure.
        lib.Prepare()
        lib.AppendTextChunck(b"<NULL/>", 7)
        self.assertEqual(lib.Decode(14), 2)
        lib.CloseStreams()
        buf = ctypes.create_string_buffer(64)
        n = lib.GetError(buf, 63)
        self.assertEqual((n, buf.value), (2, b"OK"))
        self.assertEqual(lib.GetError(buf, n), n)
        self.assertEqual(buf.raw[n], 0)
        self.assertEqual(lib.GetError(buf, n - 1), -n)
        lib.Prepare()
        lib.AppendTextChunck(b"<Foo/>", 6)
        self.assertEqual(lib.Decode(14), 0)
        lib.CloseStreams()
        self.assertEqual(lib.GetError(buf, 63), 0)  # an unknown name leaves no word


class Pictures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.wide = os.path.join(cls.dir.name, "wide.bmp")
        cls.tall = os.path.join(cls.dir.name, "tall.bmp")
        cls.write_bmp(cls.wide, 400, 200)
        cls.write_bmp(cls.tall, 200, 400)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    @staticmethod
    def write_bmp(path, w, h):
        import struct
        row = (w * 3 + 3) & ~3
        body = bytearray()
        for y in range(h):
            line = bytearray()
            for x in range(w):
                line += bytes([(x * 255) // w, (y * 255) // h, 128])
            line += b"\0" * (row - 3 * w)
            body += line
        header = struct.pack("<2sIHHI", b"BM", 54 + len(body), 0, 0, 54)
        info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
        with open(path, "wb") as f:
            f.write(header + info + bytes(body))

    def setUp(self):
        lib.Prepare()

    def tearDown(self):
        lib.CloseStreams()

    @staticmethod
    def jpeg_size(data):
        """Width and height from a JPEG's SOF marker."""
        i = 2
        while i < len(data):
            marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
            if marker in (0xC0, 0xC1, 0xC2):
                return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
            i += 2 + length
        return None

    def test_load_reduces_and_rescale_fits(self):
        n = lib.LoadImageFromFile(self.wide.encode(), 100)
        self.assertGreater(n, 0)
        self.assertEqual(binary()[:2], b"\xff\xd8")
        self.assertEqual(self.jpeg_size(binary()), (100, 50))
        lib.Prepare()
        self.assertGreater(lib.LoadImageFromFile(self.wide.encode(), 1000), 0)
        self.assertEqual(self.jpeg_size(binary()), (400, 200))
        lib.RescaleImage(100, 100)
        self.assertEqual(self.jpeg_size(binary()), (100, 50))
        lib.Prepare()
        lib.LoadImageFromFile(self.tall.encode(), 1000)
        lib.RescaleImage(100, 100)
        self.assertEqual(self.jpeg_size(binary()), (50, 100))

    def test_bad_pictures_fail_cleanly(self):
        self.assertEqual(lib.LoadImageFromFile(b"/nonexistent.bmp", 100), 0)
        lib.SetChunck(b"not a picture", 13)
        lib.RescaleImage(10, 10)
        self.assertEqual(binary(), b"not a picture")


if __name__ == "__main__":
    unittest.main(verbosity=1)
