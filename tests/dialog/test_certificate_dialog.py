"""The certificate selector as a person meets it: the real GTK window on a virtual X server
(Xvfb), driven with xdotool, the outcome read back from SelectSignerCertificate through ctypes.
The user's NSS database holds two signing credentials and one certificate of someone else."""
import ctypes
import ctypes.util
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "host"))
import hostkit  # noqa: E402

BINARY = os.environ.get("DORVIK_BINARY_DIR", os.path.join(HERE, "..", "..", "build"))
LIBRARY = os.path.join(BINARY, "lib", "libdorvik.so")
SHOTS = os.path.join(BINARY, "dialog-screenshots")
TITLE = "Seleção de certificados digitais"

CALLER = r"""
import ctypes, os, sys
lib = ctypes.CDLL(os.environ["DIALOG_TEST_LIBRARY"])
lib.SelectSignerCertificate.argtypes = [ctypes.c_char_p, ctypes.c_int32]
lib.SelectSignerCertificateFor.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32]
size = int(sys.argv[2])
origin = os.environ.get("DIALOG_TEST_ORIGIN")
for _ in range(int(sys.argv[1])):
    buffer = ctypes.create_string_buffer(b"\xee" * 64, 64)
    if origin is None:
        result = lib.SelectSignerCertificate(buffer, size)
    else:
        result = lib.SelectSignerCertificateFor(origin.encode(), buffer, size)
    lib.DispatchPendingEvents()
    print(result, buffer.raw[:size + 1].hex(), flush=True)
"""


def tool_env(display):
    """Environment for the X tools: without the sanitizer preload the library tests may carry."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    env["DISPLAY"] = display
    return env


def run(args, display, check=True):
    return subprocess.run(args, env=tool_env(display), capture_output=True, text=True, check=check, timeout=30)


class XServer:
    """Xvfb on a free display number, kept alive across clients (no reset), two monitors."""

    def __init__(self):
        for number in range(140, 200):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
                break
        self.display = ":%d" % number
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1600x700x24", "-noreset", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=tool_env(""))
        deadline = time.time() + 20
        while run(["xdpyinfo"] if shutil.which("xdpyinfo") else ["xrandr", "-q"], self.display, check=False).returncode:
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.2)
        # A wide monitor on the left and a small one (smaller than the dialog) on the right.
        run(["xrandr", "--setmonitor", "Left", "1000/264x700/185+0+0", "screen"], self.display)
        run(["xrandr", "--setmonitor", "Right", "600/158x400/105+1000+0", "none"], self.display)
        monitors = run(["xrandr", "--listmonitors"], self.display).stdout
        assert "Monitors: 2" in monitors, monitors

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Caller:
    """SelectSignerCertificate called `count` times in a child process."""

    def __init__(self, server, home, count=1, size=40, **extra):
        env = hostkit.clean_env(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), DISPLAY=server.display,
                                DIALOG_TEST_LIBRARY=LIBRARY)
        for name in ("LD_PRELOAD", "ASAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        env.pop("DORVIK_SELECT", None)
        env.update(extra)
        self.server = server
        self.size = size
        self.proc = subprocess.Popen([sys.executable, "-c", CALLER, str(count), str(size)], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def windows(self):
        out = run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)], self.server.display, check=False)
        return [w for w in out.stdout.split()]

    def wait_windows(self, count, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows()
            if len(found) == count:
                time.sleep(0.4)  # let the window draw and take its preview
                return found
            if self.proc.poll() is not None:
                raise AssertionError("the caller ended: " + self.proc.stderr.read())
            time.sleep(0.1)
        raise AssertionError("expected %d windows, found %s" % (count, self.windows()))

    def dialog(self):
        found = self.wait_windows(1)
        return found[0]

    def title(self, window):
        return run(["xdotool", "getwindowname", window], self.server.display).stdout.strip()

    def geometry(self, window):
        out = run(["xdotool", "getwindowgeometry", "--shell", window], self.server.display).stdout
        values = dict(line.split("=") for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def keys(self, window, *keys):
        run(["xdotool", "windowfocus", "--sync", window], self.server.display)
        for key in keys:
            run(["xdotool", "key", "--clearmodifiers", key], self.server.display)
            time.sleep(0.15)

    def click(self, window, x, y):
        run(["xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1"], self.server.display)

    def close_box(self, window):
        """What the window manager does for the close box: a WM_DELETE_WINDOW message."""
        send_delete_window(self.server.display, int(window))

    def result(self, timeout=30):
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait(timeout)
            raise AssertionError("no result: " + self.proc.stderr.read())
        result, raw = line.split()
        raw = bytes.fromhex(raw)
        return int(result), raw

    def finish(self):
        try:
            self.proc.wait(30)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.stdout.close()
            self.proc.stderr.close()


def send_delete_window(display, window):
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

    dpy = x11.XOpenDisplay(display.encode())
    assert dpy, "cannot open " + display
    event = ClientMessage()
    event.type = 33  # ClientMessage
    event.window = window
    event.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
    event.format = 32
    event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    event.data[1] = 0  # CurrentTime
    x11.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)


def make_home(root, signers, others):
    """An NSS database with signing credentials (key and certificate) and others' certificates."""
    first = hostkit.Credential(os.path.join(root, "first"), name=signers[0])
    codes = {signers[0]: first.code}
    db = "sql:" + first.db
    for name in signers[1:] + others:
        key, pem, p12 = (os.path.join(root, name.replace(" ", "_") + ext) for ext in (".key", ".pem", ".p12"))
        extra = []
        if name == signers[-1]:
            # ICP-Brasil holder data: birth date, CPF, NIS, RG, RG issuer.
            extra = ["-addext", "subjectAltName=otherName:2.16.76.1.3.1;UTF8:"
                     "01021980123456789010000000000000000000000000000SSPSP"]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                        "-days", "30", "-subj", "/CN=" + name, "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "basicConstraints=critical,CA:FALSE"] + extra,
                       check=True, capture_output=True)
        if name in signers:
            subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", p12, "-passout",
                            "pass:x", "-name", name], check=True, capture_output=True)
            subprocess.run(["pk12util", "-i", p12, "-d", db, "-W", "x"], check=True, capture_output=True)
        else:
            subprocess.run(["certutil", "-A", "-d", db, "-n", name, "-t", ",,", "-i", pem], check=True,
                           capture_output=True)
        der = subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"], check=True,
                             capture_output=True).stdout
        codes[name] = hashlib.sha1(der).hexdigest().upper()
    return first.home, codes


def screenshot(server, name):
    os.makedirs(SHOTS, exist_ok=True)
    path = os.path.join(SHOTS, name)
    run(["import", "-window", "root", path], server.display)
    return path


@unittest.skipUnless(os.path.exists(LIBRARY), "libdorvik.so is not built")
class CertificateDialog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("Xvfb", "xdotool", "xrandr", "import", "certutil", "pk12util", "openssl"):
            if not shutil.which(tool):
                raise AssertionError(tool + " is missing: ./run setup installs it")
        cls.tmp = tempfile.mkdtemp(prefix="dorvik-dialog-")
        cls.server = XServer()
        cls.home, cls.codes = make_home(os.path.join(cls.tmp, "full"), ["Ana Signer", "Bruno Signer"], ["Carla Other"])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def code(self, name):
        return self.codes[name].encode()

    def assertChosen(self, outcome, name, size=40):
        result, raw = outcome
        self.assertEqual(result, 1)
        self.assertEqual(raw[:40], self.code(name))
        self.assertEqual(raw[40:41], b"\0")

    def assertNothing(self, outcome, size=40):
        result, raw = outcome
        self.assertEqual(result, 0)
        self.assertEqual(raw, b"\xee" * (size + 1), "the buffer must stay untouched")

    def test_the_first_signer_is_focused_and_accepted_with_return(self):
        caller = Caller(self.server, self.home, count=2)
        try:
            window = caller.dialog()
            self.assertEqual(caller.title(window), TITLE)
            x, y, w, h = caller.geometry(window)
            time.sleep(0.5)
            screenshot(self.server, "selector-with-preview.png")
            caller.keys(window, "Return")
            self.assertChosen(caller.result(), "Ana Signer")
            self.assertNotIn(window, caller.windows(), "the dialog is gone once the call returns")
            # The same again with the mouse on the accept button (bottom right, left of cancel).
            window = caller.dialog()
            caller.keys(window, "Down")
            x, y, w, h = caller.geometry(window)
            caller.click(window, w - 150, h - 27)
            self.assertChosen(caller.result(), "Bruno Signer")
        finally:
            caller.finish()

    def window_strip(self, caller, window, name):
        """The dialog's top strip (where the origin line goes) as a picture file."""
        whole = os.path.join(self.tmp, name + ".png")
        run(["import", "-window", window, whole], self.server.display)
        strip = os.path.join(self.tmp, name + "-strip.png")
        run(["convert", whole, "-crop", "700x34+10+8", "+repage", strip], self.server.display)
        return strip

    def test_the_origin_of_a_browser_request_is_shown_above_the_list(self):
        plain = Caller(self.server, self.home)
        try:
            window = plain.dialog()
            time.sleep(0.5)
            without = self.window_strip(plain, window, "plain")
            plain.keys(window, "Escape")
            self.assertNothing(plain.result())
        finally:
            plain.finish()
        caller = Caller(self.server, self.home, DIALOG_TEST_ORIGIN="https://example.gov.br")
        try:
            window = caller.dialog()
            self.assertEqual(caller.title(window), TITLE)
            self.assertEqual(caller.geometry(window)[2:], (780, 500))
            time.sleep(0.5)
            screenshot(self.server, "selector-with-origin.png")
            shown = self.window_strip(caller, window, "origin")
            differ = subprocess.run(["compare", "-metric", "AE", without, shown, "null:"], capture_output=True,
                                    text=True, env=tool_env(self.server.display))
            self.assertGreater(float(differ.stderr.split()[0]), 300, "the origin line is drawn above the list")
            # The origin is display text only: the choice is made as without it.
            caller.keys(window, "Return")
            self.assertChosen(caller.result(), "Ana Signer")
        finally:
            caller.finish()

    def test_other_peoples_certificates_are_offered_under_their_heading(self):
        caller = Caller(self.server, self.home)
        try:
            window = caller.dialog()
            # Ana, Bruno, the heading of the other group, Carla.
            caller.keys(window, "Down", "Down", "Down", "Return")
            self.assertChosen(caller.result(), "Carla Other")
        finally:
            caller.finish()

    def test_a_heading_accepted_chooses_nothing(self):
        caller = Caller(self.server, self.home)
        try:
            window = caller.dialog()
            caller.keys(window, "Up", "Return")  # from Ana up to the heading "Meus certificados"
            self.assertNothing(caller.result())
        finally:
            caller.finish()

    def test_escape_cancel_button_and_close_box_choose_nothing(self):
        caller = Caller(self.server, self.home, count=3)
        try:
            window = caller.dialog()
            caller.keys(window, "Escape")
            self.assertNothing(caller.result())
            window = caller.dialog()
            x, y, w, h = caller.geometry(window)
            caller.click(window, w - 50, h - 27)
            self.assertNothing(caller.result())
            window = caller.dialog()
            caller.close_box(window)
            self.assertNothing(caller.result())
        finally:
            caller.finish()

    def test_a_code_longer_than_the_buffer_is_not_handed_out(self):
        caller = Caller(self.server, self.home, size=39)
        try:
            caller.keys(caller.dialog(), "Return")
            self.assertNothing(caller.result(), size=39)
        finally:
            caller.finish()

    def test_accepting_while_the_preview_works_asks_first(self):
        caller = Caller(self.server, self.home, DORVIK_PREVIEW_DELAY_MS="120000")
        try:
            window = caller.dialog()
            caller.keys(window, "Down")
            time.sleep(0.5)
            screenshot(self.server, "selector-preview-working.png")
            caller.keys(window, "Return")
            question = [w for w in caller.wait_windows(2) if w != window][0]
            screenshot(self.server, "selector-question.png")
            caller.keys(question, "Return")  # "No" is the default
            caller.wait_windows(1)
            self.assertIsNone(caller.proc.poll(), "No keeps the dialog open")
            caller.keys(window, "Return")
            question = [w for w in caller.wait_windows(2) if w != window][0]
            caller.keys(question, "shift+Tab", "Return")  # over to "Sim"
            self.assertChosen(caller.result(), "Bruno Signer")  # the focus stayed where it was
        finally:
            caller.finish()

    def test_an_empty_store_shows_the_information_message(self):
        empty = os.path.join(self.tmp, "empty-home")
        os.makedirs(os.path.join(empty, ".pki", "nssdb"))
        subprocess.run(["certutil", "-N", "-d", "sql:" + os.path.join(empty, ".pki", "nssdb"), "--empty-password"],
                       check=True, capture_output=True)
        caller = Caller(self.server, empty)
        try:
            message = caller.dialog()
            self.assertNotEqual(caller.title(message), TITLE)
            screenshot(self.server, "selector-empty.png")
            caller.keys(message, "Return")
            self.assertNothing(caller.result())
        finally:
            caller.finish()

    def placements(self, runs):
        caller = Caller(self.server, self.home, count=runs)
        found = []
        try:
            for _ in range(runs):
                window = caller.dialog()
                found.append(caller.geometry(window))
                caller.keys(window, "Escape")
                self.assertNothing(caller.result())
        finally:
            caller.finish()
        return found

    def test_the_dialog_lands_inside_the_work_area_of_a_random_monitor(self):
        # GTK 3 sees only monitors that carry an output, and Xvfb has one output: the two
        # monitors are checked in turn, each as the output's monitor, the other one left bare.
        try:
            places = self.placements(6)
            for x, y, w, h in places:
                self.assertEqual((w, h), (780, 500))
                self.assertTrue(0 <= x and x + w <= 1000 and 0 <= y and y + h <= 700, (x, y, w, h))
            self.assertGreater(len(set(places)), 1, "the position is chosen at random: %s" % places)
            # The right-hand monitor is smaller than the dialog: its top-left corner, its size.
            run(["xrandr", "--delmonitor", "Right"], self.server.display)
            run(["xrandr", "--delmonitor", "Left"], self.server.display)
            run(["xrandr", "--setmonitor", "Right", "600/158x400/105+1000+0", "screen"], self.server.display)
            self.assertIn("Right", run(["xrandr", "--listmonitors"], self.server.display).stdout)
            for place in self.placements(2):
                self.assertEqual(place, (1000, 0, 600, 400))
        finally:
            for name in ("Left", "Right"):
                run(["xrandr", "--delmonitor", name], self.server.display, check=False)
            run(["xrandr", "--setmonitor", "Left", "1000/264x700/185+0+0", "screen"], self.server.display)
            run(["xrandr", "--setmonitor", "Right", "600/158x400/105+1000+0", "none"], self.server.display)

    def test_a_locked_database_asks_for_its_pin_first(self):
        root = os.path.join(self.tmp, "locked")
        db = os.path.join(root, "home", ".pki", "nssdb")
        os.makedirs(db)
        password = os.path.join(root, "password")
        with open(password, "w") as f:
            f.write("segredo\n")
        key, pem, p12 = (os.path.join(root, n) for n in ("k.pem", "c.pem", "c.p12"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                        "-days", "5", "-subj", "/CN=Token User"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", p12, "-passout", "pass:x",
                        "-name", "tu"], check=True, capture_output=True)
        subprocess.run(["certutil", "-N", "-d", "sql:" + db, "-f", password], check=True, capture_output=True)
        subprocess.run(["pk12util", "-i", p12, "-d", "sql:" + db, "-W", "x", "-k", password], check=True,
                       capture_output=True)
        der = subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"], check=True,
                             capture_output=True).stdout
        code = hashlib.sha1(der).hexdigest().upper().encode()
        home = os.path.join(root, "home")

        caller = Caller(self.server, home)
        try:
            prompt = caller.dialog()
            self.assertEqual(caller.title(prompt), "Senha do dispositivo")
            caller.keys(prompt, "e", "r", "r", "o", "Return")  # refused: asked again
            time.sleep(1)
            prompt = caller.dialog()
            self.assertEqual(caller.title(prompt), "Senha do dispositivo")
            caller.keys(prompt, *"segredo", "Return")
            time.sleep(1)
            window = caller.dialog()
            self.assertEqual(caller.title(window), TITLE)
            caller.keys(window, "Return")
            result, raw = caller.result()
            self.assertEqual((result, raw[:40]), (1, code))
        finally:
            caller.finish()

        # DORVIK_PIN answers instead of the person: straight to the selector.
        caller = Caller(self.server, home, DORVIK_PIN="segredo")
        try:
            window = caller.dialog()
            self.assertEqual(caller.title(window), TITLE)
            caller.keys(window, "Return")
            result, raw = caller.result()
            self.assertEqual((result, raw[:40]), (1, code))
        finally:
            caller.finish()

    def test_unattended_choice_and_no_display_open_no_window(self):
        caller = Caller(self.server, self.home, DORVIK_SELECT=self.codes["Carla Other"])
        try:
            self.assertChosen(caller.result(), "Carla Other")
            self.assertEqual(caller.windows(), [])
        finally:
            caller.finish()
        env = hostkit.clean_env(HOME=self.home, DIALOG_TEST_LIBRARY=LIBRARY)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DORVIK_SELECT"):
            env.pop(name, None)
        for name in ("LD_PRELOAD", "ASAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        out = subprocess.run([sys.executable, "-c", CALLER, "1", "40"], env=env, capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.split()[0], "0")


if __name__ == "__main__":
    unittest.main(verbosity=2)
