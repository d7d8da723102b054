"""tarn's STUN client against hostile_stun.py beside coturn: error answers,
IPv6 or missing addresses, lies under other ids or from other ports,
truncated, oversize and padded datagrams and floods all arrive before
coturn's answers. The public address, the NAT classification and the probe
ports must still be coturn's, and no session or run may end early."""

import json
import os
import socket
import subprocess
import sys
import unittest

from loop_probe import LoopProbe
from nat_lab import STUN_ADDRS, Lab, _read_line
from tarn_daemon import wait_reports
from test_nat_type import EXPECTED, REPORT_FIELDS, code_of, natcheck, probe_of

HOSTILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile_stun.py")
COTURN_DELAY_MS = 40
PEER = ["--peer-pub", "198.51.100.7:40000", "--peer-pri", "192.168.7.20:40001",
        "--nat-type", "4"]


def start_hostile(lab):
    """The hostile server in the stun host, and coturn's answers held back
    COTURN_DELAY_MS so that the hostile ones (mark 1) come first."""
    hostile = lab.popen("stun", [sys.executable, HOSTILE], stdout=subprocess.PIPE, text=True)
    if _read_line(hostile) != "ready\n":
        raise RuntimeError("hostile STUN server did not start")
    shaper = lab._start_shaper("stun")
    shaper.stdin.write("%d 0\n" % COTURN_DELAY_MS)
    shaper.stdin.flush()
    if _read_line(shaper) != "ok\n":
        raise RuntimeError("link shaper in stun failed")
    lab.run("stun", [lab._iptables("stun"), "-t", "mangle", "-A", "POSTROUTING", "-o", "eth0",
                     "-p", "udp", "-m", "mark", "!", "--mark", "1", "-j", "NFQUEUE",
                     "--queue-num", "0", "--queue-bypass"], check=True)
    return hostile


class HostileStun(unittest.TestCase):
    def setUp(self):
        for tool in ("tarn-natcheck", "ubusd"):
            Lab.require_tool(tool)

    def test_coturn_still_wins(self):
        kind = "port-restricted"
        with Lab(device=kind) as lab:
            lab.start_bus("dev")
            hostile = start_hostile(lab)

            out, seconds = natcheck(lab, "-p")
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            print("\n  classified in %.2f s" % seconds, end="")
            self.assertEqual(code_of(out), EXPECTED[kind][0], out.stdout)
            (report,) = wait_reports(lambda r: r.get("type") == "discoverNatType", timeout=10,
                                     path=lab.path("dev", "/var/log/cloud_log.log"))
            self.assertEqual(tuple(report[f] for f in REPORT_FIELDS), EXPECTED[kind], report)
            self.assertEqual(report["testIMappedAddrIP"], lab.public_addr("dev"))
            ports, _ = probe_of(out)
            self.assertEqual(ports[1:], [ports[0]] * 6, out.stdout)

            daemon = lab.start_device_daemon()
            # The prepare starts the NAT-type worker against the same flood;
            # the loop goes on answering meanwhile.
            with LoopProbe("STUN junk at the NAT-type worker",
                           lambda: lab.socket("dev", kind=socket.SOCK_STREAM)) as probe:
                answer = lab.run("dev", ["tarnctl", "prepare", "--stun", STUN_ADDRS[0],
                                         "--wait", "10"] + PEER)
                daemon.wait_log("say: NAT type", timeout=30)
            self.assertEqual(probe.failures, 0)
            self.assertLess(probe.worst_ms, 1000)
            self.assertEqual(answer.returncode, 0, answer.stdout + answer.stderr)
            addr = json.loads(answer.stdout)["result"]["dev_addr"]
            # The lab NAT keeps the port; the lie would say 6.6.6.6:666.
            self.assertEqual((addr["pub_ip"], addr["pub_port"]),
                             (lab.public_addr("dev"), addr["pri_port"]))
            self.assertIn("datagram(s) ignored", daemon.log())
            self.assertNotIn("-52010", daemon.log())
            self.assertEqual(daemon.stop(), 0)

            hostile.terminate()
            answered = hostile.stdout.read().count("answered")
            # Every request of the classification, the probe run and the query.
            self.assertGreater(answered, 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
