"""tarn as a supervised service: -f keeps it the supervisor's own child with
its real exit status, SIGHUP re-reads tarn.conf without touching sessions,
and the bus object `tarn` shows and ends sessions, also after ubusd restarts."""

import json
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from tarn_daemon import (BIN, Bus, INFO, INFO_ANSWER, PID_FILE, SANITIZER_MARKS, read_file,
                         request, set_device_mac, start_foreground, tarnctl, wait_until)

TARN = os.path.join(BIN, "tarn")
PREPARE = json.dumps({"request": "prepare_p2p", "params": {
    "version": "1.0", "app_imp_version": 3, "stun_url": "127.0.0.1", "nat_type": 4,
    "peer_addr": {"pub_ip": "198.51.100.7", "pub_port": 40000,
                  "pri_ip": "192.168.1.20", "pri_port": 40001}}})


def ubus_call(method):
    out = subprocess.run([os.path.join(BIN, "ubus"), "-t", "5", "call", "tarn", method],
                         capture_output=True, text=True, timeout=30)
    return json.loads(out.stdout) if out.returncode == 0 else None


class Service(unittest.TestCase):
    def setUp(self):
        set_device_mac("00:11:22:aa:bb:cc")
        self.bus = self.enterContext(Bus())
        # A STUN server that never answers keeps a prepared session waiting.
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.1", 3478))
        self.addCleanup(silent.close)
        self.log_path = "/run/tarn-f.out"

    def log(self):
        return read_file(self.log_path)

    def start_foreground(self):
        return start_foreground(self, self.log_path)

    def stop(self, proc):
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, self.log())

    def test_foreground_is_the_supervised_process_and_exits_with_the_real_status(self):
        proc = self.start_foreground()
        self.assertEqual(read_file(PID_FILE), str(proc.pid))
        second = subprocess.run([TARN, "-f"], capture_output=True, text=True, timeout=30)
        self.assertEqual(second.returncode, 255)
        self.assertIn("process already running...", second.stderr)
        self.assertEqual(read_file(PID_FILE), str(proc.pid))
        self.stop(proc)
        for args, line in ((["--bogus"], "bad parameters"),
                           (["-l", "192.0.2.1"], "failed to start local listener")):
            with self.subTest(args=args):
                run = subprocess.run([TARN, "-f"] + args, capture_output=True, text=True,
                                     timeout=30)
                # Start-up failures reach the supervisor's log even without -d.
                self.assertEqual(run.returncode, 255, run.stderr)
                self.assertIn(line, run.stderr)

    def test_sighup_from_the_start_never_kills_it(self):
        # procd's reload may signal a tarn it has just started. The storm
        # begins once the kernel shows SIGHUP ignored (tarn's first step, well
        # before the pid file) or caught (the loop's handler: the ignored
        # window was missed) and lasts until the loop runs.
        hup_bit = 1 << (signal.SIGHUP - 1)
        early = 0
        for _ in range(10):
            with open(self.log_path, "wb") as out:
                proc = subprocess.Popen([TARN, "-f", "-d"], stdout=out, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
            self.addCleanup(lambda p=proc: p.poll() is None and (p.kill(), p.wait()))
            status = "/proc/%d/status" % proc.pid
            deadline = time.monotonic() + 10
            while True:
                masks = dict(re.findall(r"(Sig\w+):\s*(\w+)", read_file(status)))
                ignored = int(masks["SigIgn"], 16) & hup_bit
                if ignored or int(masks["SigCgt"], 16) & hup_bit:
                    break
                self.assertLess(time.monotonic(), deadline, "SIGHUP neither ignored nor caught")
            early += bool(ignored) and (not os.path.exists(PID_FILE)
                                        or read_file(PID_FILE) != str(proc.pid))
            sent = 0
            while "p2p daemon started" not in self.log() and proc.poll() is None:
                proc.send_signal(signal.SIGHUP)
                sent += 1
            for _ in range(20):
                proc.send_signal(signal.SIGHUP)
            # Answering means having left epoll_wait, where pending signals
            # are delivered first.
            self.assertEqual(request(INFO), INFO_ANSWER)
            self.assertIsNone(proc.poll(), "died of SIGHUP after %d: %s" % (sent, self.log()))
            self.stop(proc)
        self.assertGreater(early, 0, "no storm began before the pid file was written")

    def test_bus_object_shows_and_ends_sessions_through_sighup_and_a_bus_restart(self):
        proc = self.start_foreground()
        sid = json.loads(request(PREPARE))["result"]["sid"]

        def session():
            status = ubus_call("status")
            return status and status["sessions"] and status["sessions"][0]
        first = wait_until(session, what="the session on the bus")
        self.assertEqual((first["sid"], first["peer"]), (sid, "198.51.100.7:40000"))
        self.assertIn(first["state"], ("resolving", "querying"))
        shown = tarnctl("status")
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("sessions: 1 of 32", shown.stdout)
        self.assertRegex(shown.stdout, sid + r" +(resolving|querying) +198\.51\.100\.7:40000 ")

        with open("/etc/tarn.conf", "w") as f:
            f.write("STUN_HOST=[127.0.0.2]\n")
        proc.send_signal(signal.SIGHUP)
        wait_until(lambda: "STUN host from /etc/tarn.conf: [127.0.0.2]" in self.log(),
                   what="the reload")
        status = ubus_call("status")
        self.assertEqual(status["stun_host"], "127.0.0.2")
        self.assertEqual([s["sid"] for s in status["sessions"]], [sid])

        # The object is added again on the new ubusd.
        self.bus.__exit__()
        self.bus.__enter__()
        self.assertEqual(wait_until(session, what="tarn back on the bus")["sid"], sid)

        self.assertEqual(ubus_call("clean"), {"sessions_ended": 1})
        self.assertIn("clean up p2p session", self.log())
        self.assertEqual(ubus_call("status")["sessions_in_use"], 0)
        self.stop(proc)
        for down, message in ((False, "tarn is not on the bus"), (True, "cannot connect")):
            if down:
                self.bus.__exit__()
            shown = tarnctl("status")
            self.assertEqual(shown.returncode, 2)
            self.assertIn(message, shown.stderr)
        self.bus.__enter__()


if __name__ == "__main__":
    unittest.main()
