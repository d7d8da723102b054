"""Control-port abuse: a burst of short connections from several clients,
descriptors used up by idle connections, and one connection streaming
requests without end. Every valid request must still be answered, and the
daemon must keep neither descriptors nor memory."""

import os
import socket
import threading
import time
import unittest

from tarn_daemon import INFO, INFO_ANSWER, Daemon, connect, request, set_device_mac, wait_until

CONNECTIONS, CLIENTS = 6000, 4
MIX = [(INFO, INFO_ANSWER),
       ("{not json", '{"error_code":23,"error_msg":"request json string error"}'),
       ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 63),
        '{"error_code":21,"error_msg":"no sess with this sid"}')]


def cpu_seconds(pid):
    """User and system time of pid so far (/proc/PID/stat fields 14, 15)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class Abuse(unittest.TestCase):
    def setUp(self):
        set_device_mac()

    def test_burst_of_short_connections(self):
        with Daemon(debug=False) as d:
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
            # Each connection is freed once its answer drained.
            wait_until(lambda: d.open_fds() <= fds_before, what="descriptors to settle")
            self.assertEqual(d.stop(), 0)

    def test_idle_connections_cannot_starve_the_port(self):
        limit = 64
        with Daemon(launcher=["prlimit", "--nofile=%d:%d" % (limit, limit)]) as d:
            # More than the daemon has descriptors: the last ones wait in the
            # listen backlog of 5, and the one after them is not taken. A
            # short pause after each lets the daemon accept before the
            # backlog fills.
            idle = []
            for _ in range(limit + 8):
                try:
                    idle.append(connect(timeout=2))
                except OSError:
                    break
                time.sleep(0.002)
            d.wait_log("listener paused")
            answers = []
            late = threading.Thread(target=lambda: answers.append(request(INFO, timeout=30)))
            late.start()
            # A listener spinning on EMFILE would take a whole core meanwhile.
            before = cpu_seconds(d.pid)
            time.sleep(2)
            self.assertLess((cpu_seconds(d.pid) - before) / 2, 0.25)
            late.join()
            self.assertEqual(answers, [INFO_ANSWER])
            self.assertIn("Timed out.", d.log())
            for s in idle:
                s.close()
            self.assertEqual(d.stop(), 0)

    def test_a_pipelining_client_cannot_grow_the_daemon(self):
        # ASan's quarantine would hold every freed buffer: keep it small.
        asan = "ASAN_OPTIONS=%s:quarantine_size_mb=1" % os.environ.get("ASAN_OPTIONS", "")
        with Daemon(debug=False, launcher=["env", asan]) as d:
            before = rss_kb(d.pid)
            chunk = ('{"request":"do_tarn_clean","pad":"%s"}' % ("x" * 1460)).encode() * 700
            with connect() as s:
                for _ in range(40):  # about 40 MB
                    s.sendall(chunk)
                s.shutdown(socket.SHUT_WR)
                wait_until(lambda: s.recv(1) == b"", timeout=30, what="the daemon to close")
            self.assertLess(rss_kb(d.pid) - before, 8 * 1024)
            self.assertEqual(request(INFO), INFO_ANSWER)
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
