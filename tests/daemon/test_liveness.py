"""The event loop keeps answering while the world around tarn misbehaves:
a loop probe asks get_tarn_info every 50 ms through each fault and the worst
answer time must stay far from a stall (the bound is generous on purpose;
the real figures are in docs/reliability.md)."""

import os
import signal
import unittest

from loop_probe import LoopProbe, record
from tarn_daemon import (Bus, Daemon, prepare, reports, set_device_mac, tarnctl, udp_sink,
                         wait_reports, wait_until)

WORST_MS = 1000
RESOLVER_CAP = 4


class Liveness(unittest.TestCase):
    def setUp(self):
        set_device_mac()
        self.bus = self.enterContext(Bus())

    def test_bus_restarted_or_paused_while_32_reports_are_due(self):
        # 32 sessions wait on a silent STUN server; do_tarn_clean ends them
        # all at once, and each has a report to deliver.
        self.enterContext(udp_sink())
        for fault in ("restarted", "paused"):
            with self.subTest(fault), Daemon() as daemon:
                before = len(reports())
                for _ in range(32):
                    prepare()
                with LoopProbe("bus %s while 32 reports are due" % fault) as probe:
                    if fault == "restarted":
                        self.bus.__exit__()
                    else:
                        os.kill(self.bus.proc.pid, signal.SIGSTOP)
                    self.assertEqual(tarnctl("clean").returncode, 0)
                    daemon.wait_log("clean up p2p session", count=32)
                    # A second of probing with the reports stuck.
                    wait_until(lambda: len(probe.latencies) >= 20, what="20 answers")
                    if fault == "restarted":
                        self.bus.__enter__()
                    else:
                        os.kill(self.bus.proc.pid, signal.SIGCONT)
                    wait_reports(count=before + 32)
                self.assertEqual(probe.failures, 0)
                self.assertLess(probe.worst_ms, WORST_MS, fault)
                self.assertEqual(daemon.stop(), 0)

    def test_dns_server_that_never_answers(self):
        # Lookups pile up on a name server that reads nothing: the loop keeps
        # answering, the resolver threads stay capped, and each session ends
        # when its lookup times out (13 s), before its deadline (20 s).
        with open("/etc/resolv.conf", "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
        with open("/etc/nsswitch.conf", "w") as f:
            f.write("hosts: files dns\n")
        self.enterContext(udp_sink(("127.0.0.1", 53)))
        with Daemon() as daemon:
            idle = len(os.listdir("/proc/%d/task" % daemon.pid))
            with LoopProbe("DNS server never answers, 32 prepares") as probe:
                # Answered "not ready" by the prepare timer meanwhile.
                answers = [prepare("slow%d.tarn.test" % i) for i in range(32)]
                wait_until(lambda: daemon.log().count("evaddrinfo_new") >= 32, what="32 lookups")
                peak = len(os.listdir("/proc/%d/task" % daemon.pid))
            record("DNS server never answers, 32 prepares", threads_added=peak - idle)
            # The resolvers, and the bus reporter that may have started.
            self.assertLessEqual(peak, idle + RESOLVER_CAP + 1)
            self.assertEqual(probe.failures, 0)
            self.assertLess(probe.worst_ms, WORST_MS)
            self.assertEqual({a["is_ready"] for a in answers}, {0})
            sids = {a["sid"] for a in answers}
            ended = wait_reports(lambda r: r.get("sessionID") in sids, count=32, timeout=40)
            self.assertEqual({(r["stage"], r["errorCode"]) for r in ended}, {(1, -52009)})
            self.assertEqual(daemon.stop(), 0)

if __name__ == "__main__":
    unittest.main()
