"""tarn as a supervised service: -f keeps it the supervisor's own child with
its real exit status, SIGHUP re-reads tarn.conf without touching sessions,
and the bus object `tarn` shows and ends sessions, also after ubusd restarts."""

import json
import os
import re
import signal
import subprocess
import unittest

from tarn_daemon import (BIN, INFO, INFO_ANSWER, PID_FILE, Bus, Daemon, prepare, read_file,
                         request, set_device_mac, tarnctl, udp_sink, wait_until)


def ubus_call(method):
    out = subprocess.run([os.path.join(BIN, "ubus"), "-t", "5", "call", "tarn", method],
                         capture_output=True, text=True, timeout=30)
    return json.loads(out.stdout) if out.returncode == 0 else None


class Service(unittest.TestCase):
    def setUp(self):
        set_device_mac()
        self.bus = self.enterContext(Bus())
        # A STUN server that never answers keeps a prepared session waiting.
        self.enterContext(udp_sink())

    def test_sighup_from_the_start_never_kills_it(self):
        # procd's reload may signal a tarn it has just started. The storm
        # begins once the kernel shows SIGHUP ignored (tarn's first step, well
        # before the pid file) or caught (the loop's handler: the ignored
        # window was missed) and lasts until the loop runs.
        hup_bit = 1 << (signal.SIGHUP - 1)
        early = 0
        for _ in range(10):
            daemon = Daemon("-f")
            daemon.launch(wait=False)
            status = "/proc/%d/status" % daemon.pid
            while True:
                masks = dict(re.findall(r"(Sig\w+):\s*(\w+)", read_file(status)))
                ignored = int(masks["SigIgn"], 16) & hup_bit
                if ignored or int(masks["SigCgt"], 16) & hup_bit:
                    break
                self.assertNotIn("Zombie", read_file(status), "SIGHUP neither ignored nor caught")
            early += bool(ignored) and (not os.path.exists(PID_FILE)
                                        or read_file(PID_FILE) != str(daemon.pid))
            while "p2p daemon started" not in daemon.log() and daemon.proc.poll() is None:
                os.kill(daemon.pid, signal.SIGHUP)
            for _ in range(20):
                os.kill(daemon.pid, signal.SIGHUP)
            # Answering means having left epoll_wait, where pending signals
            # are delivered first; a dead tarn does not answer.
            self.assertEqual(request(INFO), INFO_ANSWER)
            self.assertEqual(read_file(PID_FILE), str(daemon.pid))  # our child, not a fork
            self.assertEqual(daemon.stop(), 0)
        self.assertGreater(early, 0, "no storm began before the pid file was written")

    def test_bus_object_shows_and_ends_sessions_through_sighup_and_a_bus_restart(self):
        daemon = self.enterContext(Daemon("-f"))
        sid = prepare()["sid"]

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
        os.kill(daemon.pid, signal.SIGHUP)
        daemon.wait_log("STUN host from /etc/tarn.conf: [127.0.0.2]")
        status = ubus_call("status")
        self.assertEqual(status["stun_host"], "127.0.0.2")
        self.assertEqual([s["sid"] for s in status["sessions"]], [sid])

        # The object is added again on the new ubusd.
        self.bus.__exit__()
        self.bus.__enter__()
        self.assertEqual(wait_until(session, what="tarn back on the bus")["sid"], sid)

        self.assertEqual(ubus_call("clean"), {"sessions_ended": 1})
        self.assertEqual(ubus_call("status")["sessions_in_use"], 0)
        self.assertEqual(daemon.stop(), 0)
        for down, message in ((False, "tarn is not on the bus"), (True, "cannot connect")):
            if down:
                self.bus.__exit__()
            shown = tarnctl("status")
            self.assertEqual(shown.returncode, 2)
            self.assertIn(message, shown.stderr)
        self.bus.__enter__()


if __name__ == "__main__":
    unittest.main()
