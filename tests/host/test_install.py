"""Installation: cmake --install puts kelvane and libdorvik.so where they find each other, and
kelvane-setup writes, checks and removes the native messaging host manifests."""
import base64
import hashlib
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
OWN_ID = "mdkhnlbmdpldmeingkcodabelhbfdeeh"  # the extension's id, from the key in its manifest.json
USER_FOLDERS = {
    "chrome": ".config/google-chrome/NativeMessagingHosts", "chromium": ".config/chromium/NativeMessagingHosts",
    "brave": ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
    "edge": ".config/microsoft-edge/NativeMessagingHosts", "vivaldi": ".config/vivaldi/NativeMessagingHosts",
    "firefox": ".mozilla/native-messaging-hosts", "firefox-snap": "snap/firefox/common/.mozilla/native-messaging-hosts",
}


class Install(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="kelvane-install-")
        cls.prefix = os.path.join(cls.root, "prefix")
        subprocess.run(["cmake", "--install", hostkit.BINARY_DIR, "--prefix", cls.prefix],
                       check=True, capture_output=True)
        cls.home = os.path.join(cls.root, "home")
        os.makedirs(cls.home)
        cls.script = os.path.join(cls.prefix, "bin", "kelvane-setup")

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

    def test_the_extension_id_follows_from_its_key(self):
        with open(os.path.join(SOURCE_DIR, "extension", "manifest.json")) as f:
            key = base64.b64decode(json.load(f)["key"])
        digest = hashlib.sha256(key).hexdigest()[:32]
        self.assertEqual("".join(chr(ord("a") + int(c, 16)) for c in digest), OWN_ID)

    def test_manifests_written_checked_and_removed(self):
        kelvane = os.path.realpath(os.path.join(self.prefix, "bin", "kelvane"))
        subprocess.run([self.script, "install", "--extension-id", CHROME_ID, "--firefox-id", "signer@tessaly.example"],
                       check=True, capture_output=True, env=self.env())
        paths = {key: os.path.join(self.home, folder, "com.tessaly.kelvane.json") for key, folder in USER_FOLDERS.items()}
        for key, path in paths.items():
            with open(path) as f:
                manifest = json.load(f)
            self.assertEqual(manifest["path"], kelvane)
            self.assertEqual(manifest["type"], "stdio")
            self.assertEqual(manifest["name"], "com.tessaly.kelvane")
            if key.startswith("firefox"):
                self.assertEqual(manifest["allowed_extensions"], ["kelvane@tessaly.example", "signer@tessaly.example"])
            else:
                self.assertEqual(manifest["allowed_origins"], ["chrome-extension://%s/" % OWN_ID,
                                                               "chrome-extension://%s/" % CHROME_ID])
        check = subprocess.run([self.script, "check"], capture_output=True, text=True, env=self.env())
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        for path in paths.values():
            self.assertIn("%s -> %s (ok)" % (path, kelvane), check.stdout)
        self.assertIn("starts and answers a frame", check.stdout)
        self.assertIn("sql:" + os.path.join(self.home, ".pki", "nssdb"), check.stdout)

        # A manifest that names a kelvane that is gone is reported with what to do.
        with open(paths["edge"], "w") as f:
            json.dump({"name": "com.tessaly.kelvane", "type": "stdio", "path": "/nowhere/kelvane",
                       "allowed_origins": ["chrome-extension://%s/" % OWN_ID]}, f)
        check = subprocess.run([self.script, "check"], capture_output=True, text=True, env=self.env())
        self.assertRegex(check.stdout, r"Microsoft Edge .*not an installed kelvane -> run: kelvane-setup install --browser edge")

        subprocess.run([self.script, "uninstall"], check=True, capture_output=True, env=self.env())
        for path in paths.values():
            self.assertFalse(os.path.exists(path), path)
        check = subprocess.run([self.script, "check"], capture_output=True, text=True, env=self.env())
        self.assertEqual(check.returncode, 1)
        self.assertIn("no manifest in", check.stdout)

    def test_machine_manifests_under_a_root(self):
        root = os.path.join(self.root, "machine")
        subprocess.run([self.script, "install", "--system", "--root", root, "--binary", "/usr/bin/kelvane"],
                       check=True, capture_output=True, env=self.env())
        written = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)
        self.assertEqual(written, sorted(os.path.join(d, "com.tessaly.kelvane.json") for d in (
            "etc/chromium/native-messaging-hosts", "etc/opt/chrome/native-messaging-hosts",
            "etc/opt/edge/native-messaging-hosts", "usr/lib/mozilla/native-messaging-hosts")))
        with open(os.path.join(root, "etc/chromium/native-messaging-hosts/com.tessaly.kelvane.json")) as f:
            self.assertEqual(json.load(f)["path"], "/usr/bin/kelvane")

    def test_bad_ids_are_refused(self):
        for args in (["--extension-id", "ABC"], ["--firefox-id", "no-at-sign"], ["--browser", "netscape"]):
            proc = subprocess.run([self.script, "install", *args], capture_output=True, env=self.env())
            self.assertEqual(proc.returncode, 2, args)
        self.assertFalse(os.path.exists(os.path.join(self.home, ".config")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
