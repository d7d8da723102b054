"""A burst of 10,000 short control connections: valid, invalid and oversized
requests from several clients at once. Every valid one must be answered
exactly, and the daemon must end the burst holding no more descriptors than
before it. Then abuse: descriptors used up by idle connections, and one
connection streaming requests without end."""

import json
import os
import socket
import threading
import time
import unittest

from tarn_daemon import Daemon, connect, request, set_device_mac, wait_until

CONNECTIONS = 10000
CLIENTS = 4

INFO = ('{"request":"get_tarn_info"}', '{"error_code":0,"result":{"version":"1.1"}}')
BAD = json.dumps({"error_code": 23, "error_msg": "request json string error"},
                 separators=(",", ":"))
NO_SESSION = json.dumps({"error_code": 21, "error_msg": "no sess with this sid"},
                        separators=(",", ":"))
MIX = [
    INFO,
    ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 63), NO_SESSION),
    ("{not json", BAD),
    ('{"request":"get_tarn_info","pad":"%s"}' % ("x" * 4000), BAD),
    ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 64), BAD),
    ('{"request":"no_such_request"}', BAD),
]


class Burst(unittest.TestCase):
    def test_burst_of_short_connections(self):
        set_device_mac("00:11:22:aa:bb:cc")
        with Daemon(debug=False) as d:
            request(INFO[0])
            fds_before = d.open_fds()
            failures = []

            def client(index):
                for n in range(index, CONNECTIONS, CLIENTS):
                    text, expected = MIX[n % len(MIX)]
                    try:
                        answer = request(text)
                    except OSError as e:
                        answer = repr(e)
                    if answer != expected:
                        failures.append((n, text[:40], answer[:80]))

            threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(failures, [])
            # The daemon frees each connection after its answer drained.
            wait_until(lambda: d.open_fds() <= fds_before, what="descriptors to settle")
            self.assertEqual(request(INFO[0]), INFO[1])
            self.assertEqual(d.stop(), 0)


def cpu_seconds(pid):
    """User and system time of pid so far (/proc/PID/stat fields 14, 15)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class Abuse(unittest.TestCase):
    FD_LIMIT = 64

    def test_idle_connections_cannot_starve_the_port(self):
        set_device_mac("00:11:22:aa:bb:cc")
        limit = "--nofile=%d:%d" % (self.FD_LIMIT, self.FD_LIMIT)
        with Daemon(launcher=["prlimit", limit]) as d:
            idle = []
            # More than the daemon has descriptors: the last ones wait in the
            # listen backlog of 5, and the one after them is not taken. A
            # short pause after each lets the daemon accept before the
            # backlog fills.
            for _ in range(self.FD_LIMIT + 8):
                try:
                    idle.append(connect(timeout=2))
                except OSError:
                    break
                time.sleep(0.002)
            d.wait_log("listener paused")
            answers = []
            late = threading.Thread(
                target=lambda: answers.append(request(INFO[0], timeout=30)))
            started = time.monotonic()
            late.start()
            cpu_before = cpu_seconds(d.pid)
            time.sleep(3)
            cpu_share = (cpu_seconds(d.pid) - cpu_before) / 3
            late.join()
            print("\n  starved: %.1f %% CPU; request answered after %.1f s"
                  % (cpu_share * 100, time.monotonic() - started), end="")
            self.assertEqual(answers, [INFO[1]])
            self.assertIn("Timed out.", d.log())
            # A spinning accept loop takes a whole core.
            self.assertLess(cpu_share, 0.25)
            for s in idle:
                s.close()
            self.assertEqual(d.stop(), 0)

    def test_a_pipelining_client_cannot_grow_the_daemon(self):
        set_device_mac("00:11:22:aa:bb:cc")
        # ASan's quarantine would hold every freed buffer: keep it small.
        asan = "ASAN_OPTIONS=%s:quarantine_size_mb=1" % os.environ.get("ASAN_OPTIONS", "")
        with Daemon(debug=False, launcher=["env", asan]) as d:
            before = rss_kb(d.pid)
            one = ('{"request":"do_tarn_clean","pad":"%s"}' % ("x" * 1460)).encode()
            chunk = one * 700  # about 1 MB
            with connect() as s:
                sent = 0
                while sent < 40 << 20:
                    s.sendall(chunk)
                    sent += len(chunk)
                s.shutdown(socket.SHUT_WR)
                wait_until(lambda: s.recv(1) == b"", timeout=30, what="the daemon to close")
            grown = rss_kb(d.pid) - before
            print("\n  RSS %d kB before, %+d kB after 40 MB" % (before, grown), end="")
            self.assertLess(grown, 8 * 1024)
            self.assertEqual(request(INFO[0]), INFO[1])
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
