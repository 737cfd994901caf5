"""Shared helpers of the host's end-to-end tests: start the real kelvane with pipes, speak
frames to it, and give it a scratch HOME with an NSS database holding a test credential."""
import ctypes
import hashlib
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
KELVANE = os.path.join(BINARY_DIR, "bin", "kelvane")
LIBDORVIK = os.path.join(BINARY_DIR, "lib", "libdorvik.so")


def clean_env(**extra):
    """The environment of a child: no display, no unattended rule, no preloads meant for python."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DORVIK_SELECT", "KELVANE_TRACE_FILE", "LD_PRELOAD")}
    env.update({k: v for k, v in extra.items() if v is not None})
    return env


def frame(obj_or_bytes):
    if isinstance(obj_or_bytes, (bytes, bytearray)):
        body = bytes(obj_or_bytes)
    else:
        import json
        body = json.dumps(obj_or_bytes, ensure_ascii=False).encode("utf-8")
    return struct.pack("<I", len(body)) + body


class Host:
    """One kelvane process on pipes."""

    def __init__(self, args=(), env=None, cwd=None):
        self.proc = subprocess.Popen([KELVANE, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env or clean_env(), cwd=cwd)

    def send(self, obj_or_bytes):
        self.send_raw(frame(obj_or_bytes))

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def _read_exact(self, n, timeout):
        out = b""
        end = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while len(out) < n:
            left = end - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise TimeoutError("no answer from kelvane within %ss" % timeout)
            chunk = os.read(fd, n - len(out))
            if not chunk:
                raise EOFError("kelvane closed its output")
            out += chunk
        return out

    def read_frame(self, timeout=30):
        import json
        n = struct.unpack("<I", self._read_exact(4, timeout))[0]
        body = self._read_exact(n, timeout)
        return json.loads(body.decode("utf-8")), body

    def no_more_output(self, wait=0.3):
        return not select.select([self.proc.stdout.fileno()], [], [], wait)[0]

    def terminate(self, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait(timeout)

    def wait(self, timeout=40):
        self.proc.wait(timeout)
        self.stderr = self.proc.stderr.read() if self.proc.stderr and not self.proc.stderr.closed else b""
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                if stream and not stream.closed:
                    stream.close()
            except BrokenPipeError:
                pass
        return self.proc.returncode

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


def run(cmd, env=None, **kw):
    return subprocess.run(cmd, env=env or clean_env(), check=True, capture_output=True, **kw)


class Credential:
    """A scratch HOME whose NSS database holds one self-signed signing credential."""

    def __init__(self, root, name="Kelvane Test Signer"):
        self.home = os.path.join(root, "home")
        self.db = os.path.join(self.home, ".pki", "nssdb")
        os.makedirs(self.db)
        self.key = os.path.join(root, "signer.key")
        self.cert = os.path.join(root, "signer.pem")
        p12 = os.path.join(root, "signer.p12")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
             "-days", "30", "-subj", "/CN=" + name, "-addext", "keyUsage=critical,digitalSignature,nonRepudiation"])
        run(["openssl", "pkcs12", "-export", "-inkey", self.key, "-in", self.cert, "-out", p12,
             "-passout", "pass:test", "-name", name])
        run(["certutil", "-N", "-d", "sql:" + self.db, "--empty-password"])
        run(["pk12util", "-i", p12, "-d", "sql:" + self.db, "-W", "test"])
        der = run(["openssl", "x509", "-in", self.cert, "-outform", "DER"]).stdout
        self.code = hashlib.sha1(der).hexdigest().upper()

    def env(self, **extra):
        return clean_env(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"), **extra)

    def verify(self, signature_path, content_path):
        """openssl's verdict on a detached DER signature of the content."""
        result = subprocess.run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", signature_path,
                                 "-content", content_path, "-CAfile", self.cert, "-purpose", "any",
                                 "-out", os.devnull], env=clean_env(), capture_output=True)
        return result.returncode == 0, result.stderr.decode(errors="replace")


def library_can_sign():
    """Whether libdorvik turns a SIGNEDDATA element into a signature yet (rather than answering
    that no builder is installed)."""
    lib = ctypes.CDLL(LIBDORVIK)
    lib.GetError.argtypes = [ctypes.c_char_p, ctypes.c_int32]
    lib.AppendTextChunck.argtypes = [ctypes.c_char_p, ctypes.c_int32]
    request = b'<SIGNEDDATA CertificateCode="00" Content="00" Binary="1" Hash="1.3.14.3.2.26"/>'
    lib.Prepare()
    lib.AppendTextChunck(request, len(request))
    lib.Decode(14)
    buffer = ctypes.create_string_buffer(256)
    lib.GetError(buffer, 255)
    lib.CloseStreams()
    return buffer.value != b"SignedDataUnavailable"


def stores_list(credential):
    """Whether the selector lists the credential's certificate (the certificate stores are in place)."""
    with tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        proc = subprocess.run([KELVANE, "/Mode=SELECT"], env=credential.env(DORVIK_SELECT="first",
                              KELVANE_TRACE_FILE=trace), capture_output=True, timeout=60)
        if proc.returncode != 0 or not os.path.exists(trace):
            return False
        with open(trace, encoding="utf-8", errors="replace") as f:
            return ("Code: Signer " + credential.code) in f.read()
