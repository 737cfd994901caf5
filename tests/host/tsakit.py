"""A time-stamp authority on 127.0.0.1 for the tests: a small HTTP server in a thread that
answers RFC 3161 queries with `openssl ts -reply`, signed by the TSA certificate of a test PKI
made at test time (tests/crypto/pkikit.py: extendedKeyUsage critical timeStamping). Its
`mode` makes it misbehave on purpose: refuse, answer for another nonce or imprint, send
garbage, fail with HTTP 500, or stay silent."""
import base64
import http.server
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "crypto"))
import pkikit  # noqa: E402

from asn1crypto import tsp  # noqa: E402

# Proxy variables curl reads; the tests clear them so that nothing leaves the machine.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                   "no_proxy", "NO_PROXY")

MODES = ("ok", "reject", "nonce", "imprint", "garbage", "500", "silent", "auth")


class TLocalTsa:
    def __init__(self, pki=None, tls=False):
        self.pki = pki or pkikit.TPki()
        self.mode = "ok"
        self.queries = []          # (path, headers, body) of every POST
        self.silence = 4.0         # seconds a silent TSA waits before it answers
        self.user, self.password = "carimbo", "s3nh@-do-TSA"
        self.count = 0
        tsa = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                tsa.queries.append((self.path, dict(self.headers.items()), body))
                status, content = tsa.answer(body, self.headers)
                if status is None:
                    return
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", "application/timestamp-reply")
                    self.send_header("Content-Length", str(len(content)))
                    self.end_headers()
                    self.wfile.write(content)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client gave up waiting (the silent mode)

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                pass  # a refused TLS handshake is expected in the tests

        self.server = Server(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.url = "http://127.0.0.1:%d/tsa" % self.port
        if tls:
            # https with a certificate for 127.0.0.1 that no system trust store knows.
            import ssl
            key, cert = self.pki.path("https.key"), self.pki.path("https.pem")
            pkikit.run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                       "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
            self.url = "https://127.0.0.1:%d/tsa" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def reply(self, query):
        """openssl's TimeStampResp to the DER query."""
        self.count += 1
        name = "q%d" % self.count
        queryfile = self.pki.write(name + ".tsq", query)
        reply = self.pki.path(name + ".tsr")
        pkikit.run("openssl", "ts", "-reply", "-config", self.pki.inter.config, "-queryfile", queryfile,
                   "-inkey", self.pki.path("tsa.key"), "-signer", self.pki.tsa, "-chain", self.pki.inter.cert,
                   "-out", reply)
        return self.pki.read(reply)

    def answer(self, body, headers):
        mode = self.mode
        if mode == "500":
            return 500, b"internal error"
        if mode == "garbage":
            return 200, b"\x30\x03\x02\x01" + os.urandom(64)
        if mode == "silent":
            time.sleep(self.silence)
            return 200, self.reply(body)
        if mode == "reject":
            # PKIStatusInfo { status rejection (2), failInfo badAlg }, no token.
            return 200, bytes.fromhex("3009" "3007" "020102" "03020780")
        if mode == "auth":
            expected = "Basic " + base64.b64encode(("%s:%s" % (self.user, self.password)).encode()).decode()
            if headers.get("Authorization") != expected:
                return 401, b""
            return 200, self.reply(body)
        query = tsp.TimeStampReq.load(body)
        if mode == "nonce":
            query["nonce"] = query["nonce"].native + 1
            body = query.dump(force=True)
        elif mode == "imprint":
            imprint = query["message_imprint"]
            hashed = bytearray(imprint["hashed_message"].native)
            hashed[0] ^= 0xFF
            imprint["hashed_message"] = bytes(hashed)
            body = query.dump(force=True)
        return 200, self.reply(body)

    def verify_token(self, token, data):
        """`openssl ts -verify -data` on a token over data, against the test PKI's root."""
        tokenfile = self.pki.write("check%d.tst" % len(self.queries), token)
        datafile = self.pki.write("check%d.data" % len(self.queries), data)
        result = subprocess.run(["openssl", "ts", "-verify", "-token_in", "-in", tokenfile, "-data", datafile,
                                 "-CAfile", self.pki.ca.cert, "-untrusted", self.pki.inter.cert],
                                capture_output=True)
        return result.returncode == 0 and b"Verification: OK" in result.stdout, \
            (result.stdout + result.stderr).decode(errors="replace")


def closed_port_url():
    """An http URL on 127.0.0.1 where nothing listens (the port was just free)."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return "http://127.0.0.1:%d/tsa" % port
