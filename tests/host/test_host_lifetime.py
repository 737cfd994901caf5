"""How long kelvane lives: the idle countdown, "finish", unknown actions, end of input. Slow by
nature (seconds per case), so the cases run in parallel host processes."""
import os
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostkit  # noqa: E402
from hostkit import Host  # noqa: E402


def lifetime(frames, close_input=False, extra_wait=0):
    """Seconds from the last frame written to the host's exit, and its exit code."""
    host = Host(env=hostkit.clean_env(DORVIK_SELECT="cancel"))
    for data in frames:
        host.send_raw(data)
    if extra_wait:
        time.sleep(extra_wait)
    start = time.monotonic()
    if close_input:
        host.close_input()
    code = host.wait(60)
    return time.monotonic() - start, code


class Lifetime(unittest.TestCase):

    def test_countdowns(self):
        sign = hostkit.frame({"action": "sign", "content": "aGVsbG8="})
        cases = {
            "finish": ([hostkit.frame({"action": "finish"})], False, 0),
            "unknown": ([hostkit.frame({"action": "Sign"})], False, 0),
            "no action": ([hostkit.frame(b"[oops")], False, 0),
            # A sign request answered after finish adds 100 passes to the 100 left.
            "finish then sign": ([hostkit.frame({"action": "finish"}), sign], False, 0),
            "idle": ([], False, 0),
            "end of input": ([], True, 0),
        }
        with ThreadPoolExecutor(len(cases)) as pool:
            results = {name: pool.submit(lifetime, *args) for name, args in cases.items()}
            results = {name: future.result() for name, future in results.items()}
        for name, (_, code) in results.items():
            self.assertEqual(code, 0, name)
        for name in ("finish", "unknown", "no action"):
            self.assertGreater(results[name][0], 2.0, name)
            self.assertLess(results[name][0], 6.0, name)
        self.assertGreater(results["finish then sign"][0], 4.5)
        self.assertLess(results["finish then sign"][0], 12.0)
        for name in ("idle", "end of input"):
            self.assertGreater(results[name][0], 20.0, name)
            self.assertLess(results[name][0], 50.0, name)

    def test_array_request_leaves_the_countdown(self):
        # After "finish" the host has 100 passes; a non-object request must not reset them.
        frames = [hostkit.frame({"action": "finish"})]
        host = Host(env=hostkit.clean_env())
        host.send_raw(frames[0])
        time.sleep(1.5)
        host.send_raw(hostkit.frame(b'["finish"]'))
        start = time.monotonic()
        self.assertEqual(host.wait(30), 0)
        self.assertLess(time.monotonic() - start, 2.0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
