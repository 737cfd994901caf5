"""Installation: cmake --install puts kelvane and libdorvik.so where they find each other, and
the browser registration writes and removes the native messaging host manifests."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402

SOURCE_DIR = os.environ.get("DORVIK_SOURCE_DIR") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHROME_ID = "abcdefghijklmnopabcdefghijklmnop"


class Install(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="kelvane-install-")
        cls.prefix = os.path.join(cls.root, "prefix")
        subprocess.run(["cmake", "--install", hostkit.BINARY_DIR, "--prefix", cls.prefix],
                       check=True, capture_output=True)
        cls.home = os.path.join(cls.root, "home")
        os.makedirs(cls.home)
        cls.script = os.path.join(cls.prefix, "share", "kelvane", "install-browser-hosts.sh")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def env(self):
        env = hostkit.clean_env(HOME=self.home)
        env.pop("XDG_CONFIG_HOME", None)
        return env

    def test_installed_program_loads_the_installed_library(self):
        kelvane = os.path.join(self.prefix, "bin", "kelvane")
        libdir = [d for d in ("lib", "lib64", "lib/x86_64-linux-gnu") if os.path.exists(os.path.join(self.prefix, d, "libdorvik.so"))]
        self.assertTrue(libdir)
        ldd = subprocess.run(["ldd", kelvane], capture_output=True, text=True, env=self.env()).stdout
        line = next(l for l in ldd.splitlines() if "libdorvik" in l)
        self.assertIn(os.path.realpath(os.path.join(self.prefix, libdir[0])), os.path.realpath(line.split("=>")[1].split()[0]))
        out = subprocess.run([kelvane, "--version"], capture_output=True, text=True, env=self.env(), check=True).stdout
        self.assertTrue(out.startswith("kelvane "), out)

    def test_missing_library_stops_the_program(self):
        copy = os.path.join(self.root, "alone", "bin")
        os.makedirs(copy, exist_ok=True)
        shutil.copy(os.path.join(self.prefix, "bin", "kelvane"), copy)
        proc = subprocess.run([os.path.join(copy, "kelvane")], capture_output=True, env=self.env(), input=b"")
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn(b"libdorvik", proc.stderr)

    def test_manifests_written_and_removed(self):
        kelvane = os.path.realpath(os.path.join(self.prefix, "bin", "kelvane"))
        subprocess.run([self.script, "install", "--extension-id", CHROME_ID, "--firefox-id", "signer@tessaly.example"],
                       check=True, capture_output=True, env=self.env())
        chrome = [os.path.join(self.home, ".config", d, "NativeMessagingHosts", "com.tessaly.kelvane.json")
                  for d in ("google-chrome", "chromium")]
        firefox = os.path.join(self.home, ".mozilla", "native-messaging-hosts", "com.tessaly.kelvane.json")
        for path in chrome:
            with open(path) as f:
                manifest = json.load(f)
            self.assertEqual(manifest["path"], kelvane)
            self.assertEqual(manifest["type"], "stdio")
            self.assertEqual(manifest["name"], "com.tessaly.kelvane")
            self.assertEqual(manifest["allowed_origins"], ["chrome-extension://%s/" % CHROME_ID])
        with open(firefox) as f:
            manifest = json.load(f)
        self.assertEqual(manifest["allowed_extensions"], ["signer@tessaly.example"])
        self.assertEqual(manifest["path"], kelvane)

        subprocess.run([self.script, "uninstall"], check=True, capture_output=True, env=self.env())
        for path in chrome + [firefox]:
            self.assertFalse(os.path.exists(path), path)

    def test_bad_ids_are_refused(self):
        for args in (["--extension-id", "ABC"], ["--firefox-id", "no-at-sign"], []):
            proc = subprocess.run([self.script, "install", *args], capture_output=True, env=self.env())
            self.assertEqual(proc.returncode, 2, args)
        self.assertFalse(os.path.exists(os.path.join(self.home, ".config")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
