"""The tarn binary's start-up, control port and shutdown, in a sandbox."""

import json
import signal
import subprocess
import unittest

from tarn_daemon import (INFO, INFO_ANSWER, PID_FILE, Daemon, connect, inheritable_fds, read_file,
                         prepare_text, read_to_eof, reap_any_new, request, set_device_mac, tarnctl)


def error_answer(code, msg):
    return json.dumps({"error_code": code, "error_msg": msg}, separators=(",", ":"))


BAD = error_answer(23, "request json string error")


class ControlPort(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        set_device_mac()
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        assert cls.daemon.stop() == 0

    def test_answers(self):
        for text, answer in [
                (INFO, INFO_ANSWER),
                ('{"REQUEST":"Get_Tarn_Info"}', INFO_ANSWER),  # names match in any case
                ('{"request":"is_p2p_ready","params":{"sid":"nobody"}}',
                 error_answer(21, "no sess with this sid")),
                ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 64), BAD),
                ('{"request":', BAD), ("hello", BAD), ("[1,2]", BAD), ('{"request":42}', BAD),
                ('{"request":"reboot"}', BAD), ('{"request":"prepare_p2p","params":{}}', BAD),
                # Only the first 1499 bytes are read, which cut the JSON.
                ('{"request":"get_tarn_info","pad":"%s"}' % ("x" * 3000), BAD)]:
            with self.subTest(text=text[:40]):
                self.assertEqual(request(text), answer)
        self.assertIn("libcloud request: invalid reqtype: [reboot]", self.daemon.log())
        self.daemon.wait_log("all data has been sent out. now close short connection.")

    def test_clean_is_handled_without_an_answer(self):
        with connect() as s:
            s.sendall(b'{"request":"do_tarn_clean"}')
            self.daemon.wait_log("libcloud request: do tarn clean.")
            s.setblocking(False)
            self.assertRaises(BlockingIOError, s.recv, 1)  # no answer, still open

    def test_no_descriptor_leaks_into_children(self):
        # A control connection and a session's STUN socket (the query to
        # 127.0.0.1 goes unanswered) are open now.
        with connect():
            self.assertEqual(json.loads(request(prepare_text()))["result"]["is_ready"], 0)
            self.daemon.wait_log("query stun server for external address")
            self.assertEqual(inheritable_fds(self.daemon.pid), [])
        tarnctl("clean")

    def test_tarnctl_exit_statuses(self):
        info = tarnctl("info")
        self.assertEqual((info.returncode, info.stdout.strip()), (0, INFO_ANSWER))
        bad = tarnctl("raw", "not json")
        self.assertEqual((bad.returncode, bad.stdout.strip()), (1, BAD))
        self.assertEqual(tarnctl("clean").returncode, 0)
        self.assertEqual(tarnctl("-p", "930", "info").returncode, 2)


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
                log = d.log()
                self.assertIn("got signal event:0x8", log)
                self.assertLess(log.index("got signal event"), log.index("p2p daemon exit"))

    def test_second_instance_is_refused(self):
        # A stale, longer pid is cut, not overwritten in place.
        with open(PID_FILE, "w") as f:
            f.write("99999999999")
        with Daemon() as first:
            self.assertEqual(read_file(PID_FILE), str(first.pid))
            second = Daemon()
            self.assertEqual(second.launch(), 0)  # the invoking shell sees success
            self.assertEqual(reap_any_new({first.pid})[1], 255)
            self.assertIn("process already running...", second.log())
            self.assertEqual(read_file(PID_FILE), str(first.pid))
            self.assertEqual(request(INFO), INFO_ANSWER)

    def test_command_line(self):
        # arguments, port that answers (None: the start fails with 255), log text
        for args, port, text in [
                (["-p", "abc"], 929, "ctx->local_port: 929"),
                (["-p", "0"], 929, "ctx->local_port: 929"),
                (["-l", "127.0.0.1"], 929, "ctx->local_address: 127.0.0.1"),
                (["-p", "1929", "--local-address", "127.0.0.1"], 1929, "ctx->local_port: 1929"),
                (["-v"], None, "tarn version: 1.1\n"),
                (["-h"], None, "usage: tarn [options]\n\t[-l local-address], eg. 127.0.0.1\n"),
                (["-s", "x"], None, "bad parameters"),
                (["--bogus"], None, "bad parameters"),
                (["-l", "192.0.2.77"], None, "failed to start local listener"),
                # inet_addr would have made it 255.255.255.255 and gone on.
                (["-l", "abc"], None, "failed to start local listener")]:
            with self.subTest(args=args):
                d = Daemon(*args)
                if port is None:
                    self.assertEqual(d.launch(), 0)
                    self.assertEqual(reap_any_new(set())[1], 255)
                else:
                    with d:
                        self.assertEqual(request(INFO, port=port), INFO_ANSWER)
                        if port != 929:
                            self.assertRaises(ConnectionRefusedError, request, INFO)
                self.assertIn(text, d.log())

    def test_without_debug_log_goes_to_dev_null(self):
        d = Daemon(debug=False).start()
        self.assertEqual(d.stop(), 0)
        self.assertNotIn("p2p daemon started", d.log())

    def test_non_loopback_connection_is_closed_at_once(self):
        # A second, non-loopback address inside the sandbox's own namespace.
        subprocess.run(["ip", "addr", "add", "192.0.2.1/32", "dev", "lo"], check=True)
        self.addCleanup(subprocess.run, ["ip", "addr", "del", "192.0.2.1/32", "dev", "lo"])
        with Daemon("-l", "0.0.0.0") as d:
            with connect("192.0.2.1") as s:
                try:
                    self.assertEqual(read_to_eof(s), b"")
                except ConnectionResetError:
                    pass
            d.wait_log("failed to setup new p2p session")
            d.wait_log("ctx cleared.")
            self.assertEqual(request(INFO), INFO_ANSWER)


if __name__ == "__main__":
    unittest.main(verbosity=2)
