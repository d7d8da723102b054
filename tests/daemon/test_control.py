"""The tarn binary's start-up, control port and shutdown, in a sandbox,
and abuse of its control port: bursts from several clients, descriptors used
up by idle connections, one connection streaming requests without end."""

import json
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from tarn_daemon import (INFO, INFO_ANSWER, PID_FILE, Daemon, connect, cpu_seconds,
                         inheritable_fds, prepare, prepare_text, read_file, read_to_eof, reap,
                         request, set_device_mac, unanswered, wait_until)


def error_answer(code, msg):
    return json.dumps({"error_code": code, "error_msg": msg}, separators=(",", ":"))


BAD = error_answer(23, "request json string error")
ANSWERS = [  # request, answer
    (INFO, INFO_ANSWER),
    ('{"REQUEST":"Get_Tarn_Info"}', INFO_ANSWER),  # names match in any case
    ('{"request":"is_p2p_ready","params":{"sid":"nobody"}}',
     error_answer(21, "no sess with this sid")),
    ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 64), BAD),
    ('{"request":', BAD), ("hello", BAD), ("[1,2]", BAD), ('{"request":42}', BAD),
    ('{"request":"reboot"}', BAD), ('{"request":"prepare_p2p","params":{}}', BAD),
    # Only the first 1499 bytes are read, which cut the JSON.
    ('{"request":"get_tarn_info","pad":"%s"}' % ("x" * 3000), BAD),
    # A private session's key that is not 64 hex digits.
    (prepare_text()[:-2] + ',"session_key":"%s"}}' % ("ab" * 31 + "zz"), BAD)]


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class ControlPort(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        set_device_mac()
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        assert cls.daemon.stop() == 0

    def test_answers(self):
        for text, answer in ANSWERS:
            with self.subTest(text=text[:40]):
                self.assertEqual(request(text), answer)

    def test_burst_from_four_clients(self):
        fds_before = self.daemon.open_fds()
        failures = []

        def client():
            for text, answer in ANSWERS * 150:
                try:
                    got = request(text)
                except OSError as e:
                    got = repr(e)
                if got != answer:
                    failures.append((text[:40], got[:80]))
        clients = [threading.Thread(target=client) for _ in range(4)]
        for t in clients:
            t.start()
        for t in clients:
            t.join()
        self.assertEqual(failures, [])
        # Each connection is freed once its answer drained.
        wait_until(lambda: self.daemon.open_fds() <= fds_before, what="descriptors to settle")

    def test_no_descriptor_leaks_into_children(self):
        # A control connection and a session's STUN socket (the query to
        # 127.0.0.1 goes unanswered) are open now.
        with connect() as idle:
            self.assertEqual(prepare()["is_ready"], 0)
            self.daemon.wait_log("query stun server for external address")
            self.assertEqual(inheritable_fds(self.daemon.pid), [])
            # Clean-up is handled without an answer.
            idle.sendall(b'{"request":"do_tarn_clean"}')
            self.daemon.wait_log("libcloud request: do tarn clean.")
            self.assertTrue(unanswered(idle))


class StartAndStop(unittest.TestCase):
    def setUp(self):
        set_device_mac()

    def test_signals_end_with_status_0(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                d = Daemon().start()
                # Connections still open at the signal are freed (the
                # sanitizer build reports any leak).
                with connect(), connect() as waiting:
                    waiting.sendall(b'{"request":"do_tarn_clean"}')
                    d.wait_log("libcloud request: do tarn clean.")
                    self.assertEqual(d.stop(sig), 0)

    def test_second_instance_is_refused(self):
        # A stale, longer pid is cut, not overwritten in place.
        with open(PID_FILE, "w") as f:
            f.write("99999999999")
        with Daemon() as first:
            self.assertEqual(read_file(PID_FILE), str(first.pid))
            second = Daemon()
            self.assertEqual(second.launch(), 0)  # the invoking shell sees success
            self.assertEqual(reap(), 255)
            self.assertIn("process already running...", second.stderr())
            self.assertEqual(read_file(PID_FILE), str(first.pid))
            self.assertEqual(request(INFO), INFO_ANSWER)

    def test_command_line(self):
        # arguments, port that answers (None: the start fails with 255), text
        # on standard output (log) or error (a failure that ends start-up,
        # written there also without -d)
        out, err = "stdout", "stderr"
        for args, port, where, text in [
                (["-p", "abc"], 929, out, "ctx->local_port: 929"),
                (["-p", "0"], 929, out, "ctx->local_port: 929"),
                (["-l", "127.0.0.1"], 929, out, "ctx->local_address: 127.0.0.1"),
                (["-p", "1929", "--local-address", "127.0.0.1"], 1929, out,
                 "ctx->local_port: 1929"),
                (["-v"], None, out, "tarn version: 1.1\n"),
                (["-h"], None, out, "usage: tarn [options]\n\t[-l local-address], eg. 127.0.0.1\n"),
                (["-s", "x"], None, err, "bad parameters"),
                (["--bogus"], None, err, "bad parameters"),
                (["-l", "192.0.2.77"], None, err, "failed to start local listener"),
                # inet_addr would have made it 255.255.255.255 and gone on.
                (["-l", "abc"], None, err, "failed to start local listener")]:
            with self.subTest(args=args):
                d = Daemon(*args, debug=where == out)
                if port is None:
                    self.assertEqual(d.launch(), 0)
                    self.assertEqual(reap(), 255)
                else:
                    with d:
                        self.assertEqual(request(INFO, port=port), INFO_ANSWER)
                        if port != 929:
                            self.assertRaises(ConnectionRefusedError, request, INFO)
                if where == out:
                    d.wait_log(text)
                else:
                    self.assertIn(text, d.stderr())

    def test_idle_connections_cannot_starve_the_port(self):
        limit = 64
        with Daemon(launcher=["prlimit", "--nofile=%d:%d" % (limit, limit)]) as d:
            # More than the daemon has descriptors: the last ones wait in the
            # listen backlog of 5, and the one after them is not taken. Each
            # is accepted before the next, lest the backlog fill early.
            idle = []
            for _ in range(limit + 8):
                try:
                    idle.append(connect(timeout=2))
                except OSError:
                    break
                wait_until(lambda: d.log().count("Accept control from") >= len(idle)
                           or "listener paused" in d.log(), what="the accept")
            d.wait_log("listener paused")
            # The late request is answered once idle connections time out; a
            # listener spinning on EMFILE would take a whole core meanwhile.
            started, before = time.monotonic(), cpu_seconds(d.pid)
            self.assertEqual(request(INFO, timeout=30), INFO_ANSWER)
            spent = cpu_seconds(d.pid) - before
            self.assertLess(spent / (time.monotonic() - started), 0.25)
            for s in idle:
                s.close()
            self.assertEqual(d.stop(), 0)

    def test_a_pipelining_client_cannot_grow_the_daemon(self):
        # ASan's quarantine would hold every freed buffer: keep it small.
        asan = "ASAN_OPTIONS=%s:quarantine_size_mb=1" % os.environ.get("ASAN_OPTIONS", "")
        with Daemon(debug=False, launcher=["env", asan]) as d:
            self.assertNotIn("p2p daemon started", d.log())  # without -d it goes nowhere
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

    def test_non_loopback_connection_is_closed_at_once(self):
        # A second, non-loopback address inside the sandbox's own namespace.
        subprocess.run(["ip", "addr", "add", "192.0.2.1/32", "dev", "lo"], check=True)
        self.addCleanup(subprocess.run, ["ip", "addr", "del", "192.0.2.1/32", "dev", "lo"])
        with Daemon("-l", "0.0.0.0"):
            with connect("192.0.2.1") as s:
                try:
                    self.assertEqual(read_to_eof(s), b"")
                except ConnectionResetError:
                    pass
            # The listener serves on.
            self.assertEqual(request(INFO), INFO_ANSWER)


if __name__ == "__main__":
    unittest.main(verbosity=2)
