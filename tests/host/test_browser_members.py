"""The two members the browser extension adds to a request: "origin" (display text for the
certificate dialog, never signed) and "chunked" (answers above 1 MiB in chunk frames)."""
import base64
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
from hostkit import Host  # noqa: E402
from test_host_e2e import make_pdf  # noqa: E402

ROOT = CRED = None


def setUpModule():
    global ROOT, CRED
    ROOT = tempfile.mkdtemp(prefix="kelvane-members-")
    CRED = hostkit.Credential(ROOT)
    if not hostkit.stores_list(CRED):
        raise AssertionError("the certificate stores do not list the test credential")


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


def read_answer(host, timeout=120):
    """One answer, put together from chunk frames when it came in them; and the frame count."""
    answer, raw = host.read_frame(timeout)
    if answer.get("action") != "chunk":
        return answer, [raw]
    frames = [raw]
    pieces = [answer["data"]]
    while len(pieces) < answer["count"]:
        answer, raw = host.read_frame(timeout)
        frames.append(raw)
        pieces.append(answer["data"])
    return json.loads("".join(pieces)), frames


class BrowserMembers(unittest.TestCase):

    def write(self, name, data):
        path = os.path.join(ROOT, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_the_origin_is_traced_and_never_signed(self):
        trace = os.path.join(ROOT, "origin-trace")
        host = Host(env=CRED.env(DORVIK_SELECT="first", KELVANE_TRACE_FILE=trace))
        try:
            content = b"contrato de teste"
            host.send({"action": "sign", "content": base64.b64encode(content).decode(), "type": "CMS",
                       "hash": "sha256", "origin": "https://example.gov.br"})
            answer, _ = read_answer(host)
            self.assertEqual(answer["action"], "signed", answer)
            signature = base64.b64decode(answer["signed"])
            self.assertNotIn(b"example.gov.br", signature)
            ok, why = CRED.verify(self.write("origin.p7s", signature), self.write("origin.txt", content))
            self.assertTrue(ok, why)
            # Not a string: no origin at all.
            host.send({"action": "sign", "content": "eA==", "type": "CMS", "origin": {"x": 1}})
            self.assertEqual(read_answer(host)[0]["action"], "signed")
        finally:
            host.terminate()
        with open(trace, encoding="utf-8") as f:
            lines = f.read()
        self.assertEqual(lines.count("Origin: "), 1)
        self.assertIn("Origin: https://example.gov.br", lines)

    def test_a_large_answer_comes_in_chunks_only_when_asked(self):
        pdf = make_pdf(b"y" * (1500 * 1024))
        request = {"action": "sign", "content": base64.b64encode(pdf).decode(), "type": "PADES", "hash": "sha256"}
        host = Host(env=CRED.env(DORVIK_SELECT="first"))
        try:
            host.send(dict(request, chunked=True))
            answer, frames = read_answer(host)
            self.assertEqual(answer["action"], "signed", {k: v for k, v in answer.items() if k != "signed"})
            self.assertGreater(len(frames), 1)
            self.assertTrue(all(len(f) <= 1 << 20 for f in frames))
            signed = base64.b64decode(answer["signed"])
            self.assertTrue(signed.startswith(b"%PDF") and len(signed) > len(pdf))
            # "chunked" must be true itself; anything else is the old single frame.
            for value in (False, "true", 1):
                host.send(dict(request, chunked=value))
                answer, raw = read_answer(host)
                self.assertEqual(raw, [b'{"action":"error","error":"ResponseTooLarge"}'], value)
            # A small answer is one ordinary frame even when chunks were allowed.
            host.send({"action": "sign", "content": "eA==", "type": "CMS", "chunked": True})
            answer, raw = read_answer(host)
            self.assertEqual((answer["action"], len(raw)), ("signed", 1))
        finally:
            host.terminate()


if __name__ == "__main__":
    unittest.main(verbosity=2)
