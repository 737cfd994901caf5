"""The extension in a real browser: Debian's Chromium in its new headless mode with the extension
loaded unpacked and a fresh profile whose NativeMessagingHosts holds the manifest kelvane-setup
wrote, driven with playwright-core (from the npm registry, into a scratch folder; the browser is
Debian's). A page served on 127.0.0.1 signs through kelvane.js; the results are checked with
openssl cms -verify and pdfsig."""
import base64
import functools
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("DORVIK_SOURCE_DIR") or os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "host"))
import hostkit  # noqa: E402
from test_host_e2e import make_pdf  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
EXTENSION = os.path.join(SOURCE, "extension")
SETUP = os.path.join(SOURCE, "tools", "kelvane-setup")
RESULTS = None
ROOT = None
CRED = None
PORT = None
TRACE = None
DOCUMENT = None
TEXT = "Documento assinado no navegador: ação, informação.\n"


def chromium_installable():
    """Whether Debian offers a chromium package here (then a missing one is a setup fault)."""
    out = subprocess.run(["apt-cache", "policy", "chromium"], capture_output=True, text=True).stdout
    match = re.search(r"Candidate:\s*(\S+)", out)
    return bool(match and match.group(1) != "(none)")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def setUpModule():
    global RESULTS, ROOT, CRED, PORT, TRACE, DOCUMENT
    if not os.path.exists(CHROMIUM):
        if chromium_installable():
            raise AssertionError("Debian's chromium is not installed: ./run setup installs it")
        raise unittest.SkipTest("Chromium cannot be installed on this system (apt offers no chromium package)")
    for tool in ("npm", "node", "openssl", "pdfsig"):
        if not shutil.which(tool):
            raise AssertionError(tool + " is missing: ./run setup installs it")
    ROOT = tempfile.mkdtemp(prefix="kelvane-chromium-")
    try:
        prepare()
    except BaseException:
        shutil.rmtree(ROOT, ignore_errors=True)
        raise


def prepare():
    global RESULTS, CRED, PORT, TRACE, DOCUMENT
    # playwright-core only: it downloads no browser.
    modules = os.path.join(ROOT, "node")
    subprocess.run(["npm", "install", "--prefix", modules, "--no-audit", "--no-fund", "--no-save",
                    "--loglevel=error", "playwright-core@1"], check=True, capture_output=True, timeout=300,
                   env=hostkit.clean_env(PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD="1"))
    CRED = hostkit.Credential(os.path.join(ROOT, "cred"))
    config = os.path.join(ROOT, "config")
    profile = os.path.join(config, "chromium")
    setup = subprocess.run([sys.executable, SETUP, "install", "--browser", "chromium", "--binary", hostkit.KELVANE],
                           env=dict(CRED.env(), XDG_CONFIG_HOME=config), capture_output=True, text=True)
    assert setup.returncode == 0, setup.stderr
    manifest = os.path.join(profile, "NativeMessagingHosts", "com.tessaly.kelvane.json")
    assert os.path.isfile(manifest), setup.stdout

    site = os.path.join(ROOT, "site")
    shutil.copytree(os.path.join(HERE, "site"), site)
    shutil.copy(os.path.join(EXTENSION, "page", "kelvane.js"), site)
    pdf = make_pdf(os.urandom(3 * 1024 * 1024).hex().encode()[:5 * 1024 * 1024])
    with open(os.path.join(site, "big.pdf"), "wb") as f:
        f.write(pdf)
    DOCUMENT = os.path.join(ROOT, "document.txt")
    with open(DOCUMENT, "wb") as f:
        f.write(TEXT.encode("utf-8") * 3)
    server = serve(site)
    PORT = server.server_address[1]
    TRACE = os.path.join(ROOT, "trace.txt")
    local = "http://127.0.0.1:%d/index.html" % PORT
    elsewhere = "http://kelvane.test:%d/index.html" % PORT
    script = "document.documentElement.innerHTML = '<body>file</body>'; 0"
    signing = [
        {"name": "available", "url": local, "expr": "Kelvane.available()"},
        {"name": "text", "url": local, "expr": "signText(%s)" % json.dumps(TEXT)},
        # A page cannot name itself: the extension replaces whatever origin the page puts in.
        {"name": "spoofed", "url": local, "expr": "signText('x', {origin: 'https://bank.example'})"},
        {"name": "file", "url": local, "expr": "signFile(%s)" % json.dumps(DOCUMENT)},
        {"name": "pdf", "url": local, "expr": "signPdf('big.pdf')", "timeout": 120000},
        {"name": "elsewhere_available", "url": elsewhere, "expr": "Kelvane.available(1000)"},
        {"name": "elsewhere_sign", "url": elsewhere, "expr": "outcome(signText('x'))"},
        {"name": "elsewhere_raw", "url": elsewhere,
         "expr": "rawRequest({action: 'sign', content: 'eA==', type: 'CMS'})"},
        {"name": "file_scheme_available", "url": "file://" + os.path.join(site, "index.html"),
         "expr": "Kelvane.available(1000)"},
    ]
    cancelled = [
        {"name": "cancelled", "url": local, "expr": "signText('x')"},
        {"name": "bad_request", "url": local, "expr": "rawRequest(['sign'])"},
        {"remove": manifest},
        {"name": "no_host", "url": local, "expr": "outcome(signText('x'))"},
    ]
    env = CRED.env(KELVANE_TRACE_FILE=TRACE)
    env.pop("ASAN_OPTIONS", None)
    env["ASAN_OPTIONS"] = "detect_leaks=0"
    plan = {
        "playwright": os.path.join(modules, "node_modules", "playwright-core"),
        "executable": CHROMIUM, "profile": profile, "extension": EXTENSION,
        "args": ["--host-resolver-rules=MAP kelvane.test 127.0.0.1", "--no-first-run", "--disable-gpu",
                 "--disable-features=DisableLoadExtensionCommandLineSwitch", "--allow-file-access-from-files"],
        "out": os.path.join(ROOT, "results.json"),
        "launches": [{"env": dict(env, DORVIK_SELECT="first"), "steps": signing},
                     {"env": dict(env, DORVIK_SELECT="cancel"), "steps": cancelled}],
    }
    with open(os.path.join(ROOT, "plan.json"), "w") as f:
        json.dump(plan, f)
    try:
        proc = subprocess.run(["node", os.path.join(HERE, "drive_chromium.js"), os.path.join(ROOT, "plan.json")],
                              capture_output=True, text=True, timeout=400, env=hostkit.clean_env())
    finally:
        server.shutdown()
        server.server_close()
    if os.path.exists(plan["out"]):
        with open(plan["out"]) as f:
            RESULTS = json.load(f)
        print("browser steps (ms):", RESULTS.get("timings"), file=sys.stderr)
    assert proc.returncode == 0 and RESULTS is not None, "the browser run failed:\n" + proc.stderr[-4000:]


def tearDownModule():
    if ROOT:
        shutil.rmtree(ROOT, ignore_errors=True)


def trace():
    with open(TRACE, encoding="utf-8", errors="replace") as f:
        return f.read()


class Chromium(unittest.TestCase):

    def result(self, name):
        value = RESULTS.get(name)
        self.assertIsNotNone(value, name + " was not run")
        self.assertFalse(isinstance(value, dict) and "failed" in value, "%s: %s" % (name, value))
        return value

    def write(self, name, data):
        path = os.path.join(ROOT, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_a_content_signature_verifies(self):
        self.assertIs(self.result("available"), True)
        answer = self.result("text")
        self.assertEqual(answer["action"], "signed", answer)
        self.assertEqual(answer["type"], "CMS")
        signature = self.write("text.p7s", base64.b64decode(answer["signed"]))
        ok, why = CRED.verify(signature, self.write("text.txt", TEXT.encode("utf-8")))
        self.assertTrue(ok, why)

    def test_a_file_signature_verifies(self):
        answer = self.result("file")
        self.assertEqual(answer, {"action": "signed", "type": "CMS", "signedfilename": DOCUMENT + ".p7s"})
        ok, why = CRED.verify(DOCUMENT + ".p7s", DOCUMENT)
        self.assertTrue(ok, why)

    def test_a_5_mb_pdf_comes_back_signed_through_chunks(self):
        result = self.result("pdf")
        self.assertGreaterEqual(result["sentBytes"], 5 * 1024 * 1024)
        answer = result["answer"]
        self.assertEqual(answer.get("action"), "signed", {k: v for k, v in answer.items() if k != "signed"})
        signed = base64.b64decode(answer["signed"])
        self.assertGreater(len(signed), result["sentBytes"])
        path = self.write("signed.pdf", signed)
        check = subprocess.run(["pdfsig", path], capture_output=True, text=True, env=hostkit.clean_env())
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn("Signature is Valid", check.stdout, check.stdout)
        self.assertRegex(trace(), r"Response in \d+ chunks")

    def test_a_cancelled_choice_answers_certificate_not_selected(self):
        self.assertEqual(self.result("cancelled"), {"action": "error", "error": "CertificateNotSelected"})

    def test_the_origin_reaches_the_host_from_the_browser_not_the_page(self):
        self.result("spoofed")
        lines = trace()
        origin = "http://127.0.0.1:%d" % PORT
        self.assertIn("Origin: " + origin, lines)
        self.assertNotIn("Origin: https://bank.example", lines)
        requests = [json.loads(line.split("Request ", 1)[1]) for line in lines.splitlines() if "Request {" in line]
        signing = [r for r in requests if r.get("action") == "sign"]
        self.assertGreaterEqual(len(signing), 5)
        # After its answer each host is told the conversation is over.
        self.assertEqual(len([r for r in requests if r == {"action": "finish"}]), len(signing))
        for request in signing:
            self.assertEqual(request["origin"], origin)
            self.assertIs(request["chunked"], True)

    def test_pages_of_other_origins_are_refused(self):
        self.assertIs(self.result("elsewhere_available"), False)
        self.assertEqual(self.result("elsewhere_sign"), {"word": "OriginNotAllowed"})
        raw = self.result("elsewhere_raw")
        self.assertEqual(raw.get("error"), "OriginNotAllowed", raw)
        self.assertNotIn("kelvane.test", trace(), "the host never hears of such a page")
        # A file: page is outside the extension's pages altogether.
        self.assertIs(self.result("file_scheme_available"), False)

    def test_requests_that_cannot_be_served_answer_their_word(self):
        self.assertEqual(self.result("bad_request").get("error"), "InvalidRequest")
        self.assertEqual(self.result("no_host"), {"word": "HostNotFound"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
