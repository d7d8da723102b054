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
from nat_lab import STUN_ADDRS, Lab, read_line
from test_nat_type import EXPECTED, REPORT_FIELDS, natcheck, probe_ports

HOSTILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile_stun.py")


class HostileStun(unittest.TestCase):
    def test_coturn_still_wins(self):
        with Lab(device="port-restricted") as lab:
            lab.start_bus("dev")
            hostile = lab.popen("stun", [sys.executable, HOSTILE], stdout=subprocess.PIPE,
                                text=True)
            self.assertEqual(read_line(hostile), "ready\n")
            # coturn's answers (not marked 1) wait 40 ms: the hostile ones come first.
            lab.shape("stun", "-o eth0 -p udp -m mark ! --mark 1", 40, 0)

            out, code, report = natcheck(lab, "-p")
            self.assertEqual(code, EXPECTED["port-restricted"][0], out)
            self.assertEqual(tuple(report[f] for f in REPORT_FIELDS),
                             EXPECTED["port-restricted"], report)
            self.assertEqual(report["testIMappedAddrIP"], lab.public_addr("dev"))
            local, public, _ = probe_ports(out)
            self.assertEqual(public, [local] * 6, out)

            daemon = lab.start_device_daemon()
            # The prepare starts the NAT-type worker against the same flood;
            # the loop goes on answering meanwhile.
            with LoopProbe("STUN junk at the NAT-type worker",
                           lambda: lab.socket("dev", kind=socket.SOCK_STREAM)) as probe:
                answer = lab.run("dev", [
                    "tarnctl", "prepare", "--stun", STUN_ADDRS[0], "--wait", "10",
                    "--peer-pub", "198.51.100.7:40000", "--peer-pri", "192.168.7.20:40001",
                    "--nat-type", "4"])
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
            # Every request of the classification, the probe run and the query.
            self.assertGreater(hostile.stdout.read().count("answered"), 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
