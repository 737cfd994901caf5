"""kelvane expands path macros in the file names of sign requests by itself (nothing has to be
installed for it), in its own process: "($MyTemp)\\" and "($AppData)\\" names are signed with
the ".p7s" written beside the expanded name. DIGEST mode takes its "File" as given."""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
from hostkit import Host  # noqa: E402

ROOT = None
CRED = None


def setUpModule():
    global ROOT, CRED
    ROOT = tempfile.mkdtemp(prefix="kelvane-macros-")
    CRED = hostkit.Credential(ROOT)


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


class Macros(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(dir=ROOT)
        self.temp = os.path.join(self.scratch, "temp")
        self.appdata = os.path.join(self.scratch, "local")
        os.makedirs(self.temp)

    def env(self):
        return CRED.env(DORVIK_SELECT="first", TEMP=self.temp, TMPDIR=self.temp, LOCALAPPDATA=self.appdata)

    def sign(self, filename):
        host = Host(env=self.env())
        try:
            host.send({"action": "sign", "filename": filename, "type": "CMS", "hash": "sha256",
                       "attrs": ["Dettached", "1"]})
            return host.read_frame()[0]
        finally:
            self.assertEqual(host.terminate(), 0)

    def test_my_temp_names_are_expanded(self):
        doc = os.path.join(self.temp, "something.txt")
        with open(doc, "wb") as f:
            f.write(b"signed through ($MyTemp)")
        answer = self.sign("($MyTemp)\\something.txt")
        self.assertEqual(answer["action"], "signed", answer)
        ok, why = CRED.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)
        self.assertEqual(sorted(os.listdir(self.temp)), ["something.txt", "something.txt.p7s"])

    def test_app_data_names_are_expanded(self):
        # Known folder 12 (LOCALAPPDATA here), "Tessaly", the program's name.
        folder = os.path.join(self.appdata, "Tessaly", "kelvane")
        os.makedirs(folder)
        doc = os.path.join(folder, "dados.txt")
        with open(doc, "wb") as f:
            f.write(b"signed through ($AppData)")
        answer = self.sign("($AppData)\\dados.txt")
        self.assertEqual(answer["action"], "signed", answer)
        ok, why = CRED.verify(doc + ".p7s", doc)
        self.assertTrue(ok, why)

    def test_digest_mode_uses_the_file_as_given(self):
        with open(os.path.join(self.temp, "d.txt"), "wb") as f:
            f.write(b"expanded")
        # A file whose name really is the macro text, in the working folder.
        literal = "($MyTemp)\\d.txt"
        with open(os.path.join(self.scratch, literal), "wb") as f:
            f.write(b"literal")
        proc = subprocess.run([hostkit.KELVANE, "/Mode=DIGEST", "/File=" + literal, "-hash:sha256"],
                              env=self.env(), cwd=self.scratch, capture_output=True, timeout=60)
        self.assertEqual(proc.returncode, 0)
        n = struct.unpack("<I", proc.stdout[:4])[0]
        answer = json.loads(proc.stdout[4:4 + n].decode("utf-8"))
        self.assertEqual(answer, {"file": literal, "hash": hashlib.sha256(b"literal").hexdigest().upper()})


if __name__ == "__main__":
    unittest.main()
