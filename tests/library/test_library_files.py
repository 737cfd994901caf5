"""libdorvik.so's file exports in a process of their own: path macros expand with nothing
installed by the caller, a zero byte brought in by a macro reaches no file, a link planted at
the temporary name of a safe save is not followed, and devices and FIFOs are not read."""
import ctypes
import hashlib
import os
import shutil
import stat
import sys
import tempfile
import threading
import unittest

SCRATCH = tempfile.mkdtemp(prefix="dorvik-files-")
TEMP = os.path.join(SCRATCH, "temp")
LOCAL = os.path.join(SCRATCH, "local")
REGISTRY = os.path.join(SCRATCH, "registry")
for d in (TEMP, LOCAL, REGISTRY):
    os.makedirs(d)
os.environ.update(TEMP=TEMP, TMPDIR=TEMP, LOCALAPPDATA=LOCAL, DORVIK_REGISTRY_DIR=REGISTRY)
# A registry value holding a zero byte: "&#0;" in the hive's XML.
with open(os.path.join(REGISTRY, "HKEY_LOCAL_MACHINE.xml"), "w") as f:
    f.write('<HKEY_LOCAL_MACHINE><Soft Doc="%s&#0;" Dir="%s"/></HKEY_LOCAL_MACHINE>'
            % (os.path.join(TEMP, "doc.txt"), TEMP))

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
lib = ctypes.CDLL(os.path.join(BINARY_DIR, "lib", "libdorvik.so"))
I32 = ctypes.c_int32
for name, args, res in [
    ("Prepare", [], None), ("CloseStreams", [], None), ("SetChunck", [ctypes.c_char_p, I32], None),
    ("GetChunck", [ctypes.c_char_p, I32], I32), ("LoadBinaryFromFile", [ctypes.c_char_p], I32),
    ("SaveBinaryToFile", [ctypes.c_char_p], I32), ("SaveTextToFile", [ctypes.c_char_p], I32),
    ("AppendTextChunck", [ctypes.c_char_p, I32], None), ("HashFile", [ctypes.c_char_p, I32], I32),
    ("ReadTextChunck", [I32, I32, ctypes.c_char_p], I32),
]:
    getattr(lib, name).argtypes = args
    getattr(lib, name).restype = res


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def within(call, seconds=20):
    """The call's result; a call that does not return in time fails the run (it cannot be stopped)."""
    box = []
    worker = threading.Thread(target=lambda: box.append(call()), daemon=True)
    worker.start()
    worker.join(seconds)
    if not box:
        sys.stderr.write("the call did not return\n")
        os._exit(1)
    return box[0]


class Files(unittest.TestCase):
    def setUp(self):
        lib.Prepare()

    def tearDown(self):
        lib.CloseStreams()

    def test_my_temp_and_app_data_names_expand(self):
        lib.SetChunck(b"temp bytes", 10)
        self.assertEqual(lib.SaveBinaryToFile(b"($MyTemp)\\saved.bin"), 10)
        self.assertEqual(read(os.path.join(TEMP, "saved.bin")), b"temp bytes")
        # Known folder 12 (LOCALAPPDATA), "Tessaly", the program's name: made when missing.
        self.assertEqual(lib.SaveBinaryToFile(b"($AppData)\\kept.bin"), 10)
        program = os.path.splitext(os.path.basename(os.path.realpath(sys.executable)))[0]
        self.assertEqual(read(os.path.join(LOCAL, "Tessaly", program, "kept.bin")), b"temp bytes")
        lib.SetChunck(b"", 0)
        self.assertEqual(lib.LoadBinaryFromFile(b"($AppData)\\kept.bin"), 10)
        self.assertEqual(lib.LoadBinaryFromFile(b"($MyTemp)\\saved.bin"), 10)

    def test_zero_byte_from_a_macro_reaches_no_file(self):
        doc = os.path.join(TEMP, "doc.txt")
        write(doc, b"the document")
        name = b"($Registry:machine\\Soft.Doc)\\.p7s"
        lib.SetChunck(b"signature", 9)
        self.assertEqual(lib.SaveBinaryToFile(name), 0)
        lib.AppendTextChunck(b"text", 4)
        self.assertEqual(lib.SaveTextToFile(name), 0)
        self.assertEqual(read(doc), b"the document")
        self.assertFalse([n for n in os.listdir(TEMP) if n.startswith("doc.txt") and n != "doc.txt"])
        self.assertEqual(lib.LoadBinaryFromFile(name), 0)
        # The same registry road without the zero byte does reach its file.
        self.assertEqual(lib.SaveBinaryToFile(b"($Registry:machine\\Soft.Dir)\\via-registry.bin"), 9)
        self.assertEqual(read(os.path.join(TEMP, "via-registry.bin")), b"signature")

    def test_safe_save_never_follows_a_planted_link(self):
        victim = os.path.join(SCRATCH, "victim.txt")
        write(victim, b"keep me")
        target = os.path.join(TEMP, "out.bin")
        os.symlink(victim, target + ".~tmp")
        lib.SetChunck(b"new", 3)
        self.assertEqual(lib.SaveBinaryToFile(target.encode()), 3)
        self.assertEqual(read(victim), b"keep me")
        self.assertEqual(read(target), b"new")
        self.assertFalse(os.path.lexists(target + ".~tmp"))

    def test_devices_fifos_and_folders_are_not_read(self):
        fifo = os.path.join(SCRATCH, "pipe")
        os.mkfifo(fifo)
        writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # held open, never written
        try:
            for name in (fifo.encode(), b"/dev/zero", SCRATCH.encode()):
                self.assertEqual(within(lambda: lib.LoadBinaryFromFile(name)), 0, name)
                self.assertEqual(within(lambda: lib.HashFile(name, 5)), 0, name)
        finally:
            os.close(writer)
        write(os.path.join(SCRATCH, "plain"), b"abc")
        self.assertEqual(lib.HashFile(os.path.join(SCRATCH, "plain").encode(), 5), 64)
        out = ctypes.create_string_buffer(64)
        lib.ReadTextChunck(0, 64, out)
        self.assertEqual(out.raw.decode(), hashlib.sha256(b"abc").hexdigest().upper())


def tearDownModule():
    shutil.rmtree(SCRATCH, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
