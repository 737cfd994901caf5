"""What the whole-run benchmarks measure the same way: one request through a fresh kelvane, and a
peer tool as a whole process, each with its wall time and peak resident memory."""
import os
import re
import subprocess
import sys
import tempfile
import time

import hostkit


def peak_kib(pid):
    """The process's VmHWM so far, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def kelvane(env, request, timeout=900):
    """One request through a fresh kelvane: (answer, seconds, peak KiB). The time runs from
    writing the frame to reading the answer."""
    host = hostkit.Host(env=env)
    try:
        # Let the process start and settle before the clock runs, as a browser's host would be.
        time.sleep(0.2)
        start = time.perf_counter()
        host.send(request)
        answer, _ = host.read_frame(timeout)
        seconds = time.perf_counter() - start
        peak = peak_kib(host.proc.pid)
    finally:
        host.terminate()
    return answer, seconds, peak


def peer(cmd, env=None):
    """A peer tool as a whole process under /usr/bin/time: (seconds, peak KiB). A failing peer
    ends the benchmark: its figures would mean nothing."""
    with tempfile.NamedTemporaryFile(prefix="bench-time.", suffix=".log") as log:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-v", "-o", log.name, *cmd],
                              env=env if env is not None else hostkit.clean_env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        text = open(log.name).read()
    if proc.returncode != 0:
        sys.exit("peer failed: %s\n%s" % (" ".join(cmd), proc.stderr.decode(errors="replace")))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return seconds, peak
