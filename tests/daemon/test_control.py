"""The tarn binary's start-up, control port and shutdown, in a sandbox."""

import json
import signal
import socket
import subprocess
import unittest

from tarn_daemon import (PID_FILE, Daemon, connect, inheritable_fds, read_file, read_to_eof,
                         reap_any_new, request, set_device_mac, tarnctl)

INFO_ANSWER = '{"error_code":0,"result":{"version":"1.1"}}'


def error_answer(code, msg):
    return json.dumps({"error_code": code, "error_msg": msg}, separators=(",", ":"))


class ControlPort(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        set_device_mac("00:11:22:aa:bb:cc")
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        assert cls.daemon.stop() == 0

    def test_get_tarn_info_is_answered_and_closed(self):
        self.assertEqual(request('{"request":"get_tarn_info"}'), INFO_ANSWER)
        # Names are matched without regard to case.
        self.assertEqual(request('{"REQUEST":"Get_Tarn_Info"}'), INFO_ANSWER)
        self.daemon.wait_log("all data has been sent out. now close short connection.")

    def test_bad_requests_get_error_23(self):
        bad = error_answer(23, "request json string error")
        for text in ['{"request":', "hello", '{"request":"reboot"}', "[1,2]",
                     '{"request":42}', '{"request":"prepare_p2p","params":{}}',
                     # Over-long: only the first 1499 bytes are read, which cut the JSON.
                     '{"request":"get_tarn_info","pad":"%s"}' % ("x" * 3000)]:
            with self.subTest(text=text[:40]):
                self.assertEqual(request(text), bad)
        self.assertIn("libcloud request: invalid reqtype: [reboot]", self.daemon.log())

    def test_unknown_session_gets_error_21(self):
        answer = request('{"request":"is_p2p_ready","params":{"sid":"nobody"}}')
        self.assertEqual(answer, error_answer(21, "no sess with this sid"))

    def test_requests_without_answer_keep_the_connection(self):
        for text, line in [('{"request":"do_tarn_clean"}', "libcloud request: do tarn clean."),
                           ('{"action":"share","request":"whatever"}', None)]:
            with self.subTest(text=text):
                before = self.daemon.log().count("connection closed")
                handled = self.daemon.log().count("libcloud request: parsing [%s]" % text)
                with connect() as s:
                    s.sendall(text.encode())
                    self.daemon.wait_log("libcloud request: parsing [%s]" % text,
                                         count=handled + 1)
                    if line:
                        self.daemon.wait_log(line)
                    # Handled, no answer, still open.
                    s.setblocking(False)
                    with self.assertRaises(BlockingIOError):
                        s.recv(1)
                self.daemon.wait_log("connection closed", count=before + 1)

    def test_no_descriptor_leaks_into_children(self):
        # A control connection and a session's STUN socket (the query to
        # 127.0.0.1 goes unanswered for seconds) are open now.
        with connect() as idle:
            answer = json.loads(request(
                '{"request":"prepare_p2p","params":{"stun_url":"127.0.0.1","nat_type":4,'
                '"peer_addr":{"pub_ip":"198.51.100.7","pub_port":40000,'
                '"pri_ip":"192.168.7.20","pri_port":40001}}}'))
            self.assertEqual(answer["result"]["is_ready"], 0)
            self.daemon.wait_log("query stun server for external address")
            self.assertEqual(inheritable_fds(self.daemon.pid), [])
            idle.sendall(b'{"request":"do_tarn_clean"}')
            self.daemon.wait_log("libcloud request: do tarn clean.")

    def test_tarnctl_exit_statuses(self):
        info = tarnctl("info")
        self.assertEqual((info.returncode, info.stdout.strip()), (0, INFO_ANSWER))
        bad = tarnctl("raw", "not json")
        self.assertEqual(bad.returncode, 1)
        self.assertIn('"error_code":23', bad.stdout)
        self.assertEqual(tarnctl("clean").returncode, 0)
        self.assertEqual(tarnctl("-p", "930", "info").returncode, 2)


class StartAndStop(unittest.TestCase):
    def setUp(self):
        set_device_mac("00:11:22:aa:bb:cc")

    def test_sigterm_ends_with_status_0(self):
        d = Daemon().start()
        # Connections still open at the signal are freed (the sanitizer
        # build reports any leak).
        idle = connect()
        waiting = connect()
        waiting.sendall(b'{"request":"do_tarn_clean"}')
        d.wait_log("libcloud request: do tarn clean.")
        for line in ("ctx->local_address: 127.0.0.1", "ctx->local_port: 929"):
            self.assertIn(line, d.log())
        self.assertEqual(d.stop(signal.SIGTERM), 0)
        log = d.log()
        self.assertIn("got signal event:0x8", log)
        self.assertIn("p2p daemon exit", log)
        self.assertLess(log.index("got signal event"), log.index("p2p daemon exit"))
        idle.close()
        waiting.close()

    def test_sigint_ends_with_status_0(self):
        self.assertEqual(Daemon().start().stop(signal.SIGINT), 0)

    def test_second_instance_is_refused(self):
        # A stale, longer pid is cut, not overwritten in place.
        with open(PID_FILE, "w") as f:
            f.write("99999999999")
        with Daemon() as first:
            pid_text = read_file(PID_FILE)
            self.assertEqual(pid_text, str(first.pid))
            second = Daemon()
            self.assertEqual(second.launch(), 0)  # the invoking shell sees success
            _, code = reap_any_new({first.pid})
            self.assertEqual(code, 255)
            self.assertIn("process already running...", second.log())
            self.assertEqual(read_file(PID_FILE), pid_text)
            self.assertEqual(request('{"request":"get_tarn_info"}'), INFO_ANSWER)

    def test_port_falls_back_to_929(self):
        for args in (["-p", "abc"], ["-p", "0"], ["-l", "127.0.0.1"]):
            with self.subTest(args=args):
                with Daemon(*args) as d:
                    self.assertIn("ctx->local_port: 929", d.log())
                    self.assertEqual(request('{"request":"get_tarn_info"}'), INFO_ANSWER)

    def test_other_port_and_address(self):
        with Daemon("-p", "1929", "--local-address", "127.0.0.1") as d:
            self.assertEqual(request('{"request":"get_tarn_info"}', port=1929), INFO_ANSWER)
            with self.assertRaises(ConnectionRefusedError):
                request('{"request":"get_tarn_info"}')
            self.assertIn("ctx->local_port: 1929", d.log())

    def test_version_help_and_bad_options_end_with_255(self):
        cases = [(["-v"], "tarn version: 1.1\n"),
                 (["-h"], "usage: tarn [options]\n\t[-l local-address], eg. 127.0.0.1\n"),
                 (["-s", "x"], "bad parameters"),
                 (["--bogus"], "bad parameters")]
        for args, text in cases:
            with self.subTest(args=args):
                d = Daemon(*args)
                self.assertEqual(d.launch(), 0)
                _, code = reap_any_new(set())
                self.assertEqual(code, 255)
                self.assertIn(text, d.log())

    def test_unbindable_address_fails_start(self):
        # "abc" is no address at all: inet_addr would have made it
        # 255.255.255.255 and the start would have gone on.
        for address in ("192.0.2.77", "abc"):
            with self.subTest(address=address):
                d = Daemon("-l", address)
                self.assertEqual(d.launch(), 0)
                _, code = reap_any_new(set())
                self.assertEqual(code, 255)
                self.assertIn("failed to start local listener", d.log())

    def test_without_debug_log_goes_to_dev_null(self):
        d = Daemon(debug=False).start()
        self.assertEqual(d.stop(), 0)
        self.assertNotIn("p2p daemon started", d.log())

    def test_non_loopback_connection_is_closed_at_once(self):
        # A second, non-loopback address inside the sandbox's own namespace.
        subprocess.run(["ip", "addr", "add", "192.0.2.1/32", "dev", "lo"], check=True)
        try:
            with Daemon("-l", "0.0.0.0") as d:
                with connect("192.0.2.1") as s:
                    try:
                        self.assertEqual(read_to_eof(s), b"")
                    except ConnectionResetError:
                        pass
                d.wait_log("failed to setup new p2p session")
                d.wait_log("ctx cleared.")
                self.assertEqual(request('{"request":"get_tarn_info"}'), INFO_ANSWER)
        finally:
            subprocess.run(["ip", "addr", "del", "192.0.2.1/32", "dev", "lo"], check=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
