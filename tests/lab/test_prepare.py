"""prepare_p2p through a real NAT with coturn: the device learns its public
address, answers libcloud, remembers the STUN server, and reports the session
when it ends. The device is configured as OpenWrt 21.02 and later do it (WAN
as option device, no MAC in uci)."""

import json
import re
import unittest

from nat_lab import STUN_ADDRS, Lab
from tarn_daemon import wait_reports, wait_until

PEER = ["--peer-pub", "198.51.100.7:40000", "--peer-pri", "192.168.7.20:40001",
        "--nat-type", "4"]


def tarnctl(lab, *args):
    return lab.run("dev", ["tarnctl"] + list(args))


def report_of(lab, sid, timeout=40.0):
    (report,) = wait_reports(lambda r: r.get("sessionID") == sid, timeout=timeout,
                             path=lab.path("dev", "/var/log/cloud_log.log"))
    return report


class PrepareBehindNat(unittest.TestCase):
    def test_ready_answer_carries_the_nat_mapping(self):
        with Lab(device="port-restricted") as lab:
            lab.write("dev", "/etc/hosts", "127.0.0.1 localhost\n%s stun.lab\n" % STUN_ADDRS[0])
            daemon = lab.start_device_daemon(layout="current")
            out = tarnctl(lab, "prepare", "--stun", "stun.lab:3478", *PEER)
            self.assertEqual(out.returncode, 0, out.stderr)
            result = json.loads(out.stdout)["result"]
            self.assertEqual(list(result), ["dev_addr", "sid", "is_ready", "dev_imp_version",
                                            "nat_type"])
            addr = result["dev_addr"]
            # The WAN device's address and its own MAC.
            self.assertTrue(result["sid"].startswith(lab.mac("dev").replace(":", "") + "-"))
            self.assertEqual(addr["pub_ip"], lab.public_addr("dev"))
            self.assertEqual(addr["pri_ip"], lab.addr("dev"))
            # The public port is what the NAT mapped the STUN socket's port to.
            mapping = [line for line in lab.conntrack("dev-nat")
                       if "sport=%d " % addr["pri_port"] in line and STUN_ADDRS[0] in line]
            self.assertEqual(len(mapping), 1, lab.conntrack("dev-nat"))
            self.assertRegex(mapping[0], r"dport=%d\b" % addr["pub_port"])
            sockets = lab.run("dev", ["ss", "-uanp"]).stdout
            self.assertRegex(sockets, r"%s:%d\s.*tarn" % (re.escape(addr["pri_ip"]),
                                                          addr["pri_port"]))
            self.assertEqual(result["is_ready"], 1)
            self.assertEqual(lab.read("dev", "/etc/tarn.conf"),
                             "STUN_HOST=[%s]\n" % STUN_ADDRS[0])

            # Punching starts at once, but nobody punches back: the deadline
            # ends the session and reports it.
            report = report_of(lab, result["sid"])
            self.assertEqual((report["errorCode"], report["stage"]), (-52014, 2))
            info = report["exchangeInfo"]
            self.assertEqual((info["devPublicIP"], info["devPublicPort"]),
                             (addr["pub_ip"], addr["pub_port"]))
            self.assertLessEqual(info.get("stunQueryTimeOffset", 0), info["stunRespTimeOffset"])
            self.assertEqual(daemon.stop(), 0)

    def test_slow_stun_answer_comes_through_is_p2p_ready(self):
        with Lab(device="port-restricted", device_wan_netem=(600, 0)) as lab:
            lab.start_device_daemon()
            first = tarnctl(lab, "prepare", "--stun", STUN_ADDRS[0], *PEER)
            result = json.loads(first.stdout)["result"]
            self.assertEqual(result["is_ready"], 0)
            self.assertNotIn("dev_addr", result)

            def ready():
                answer = json.loads(tarnctl(lab, "ready", result["sid"]).stdout)
                return answer["result"] if "dev_addr" in answer["result"] else None
            later = wait_until(ready, timeout=10, what="the addresses")
            self.assertEqual(later["dev_addr"]["pub_ip"], lab.public_addr("dev"))
            self.assertEqual(later["sid"], result["sid"])

            # --wait does the same polling for the operator.
            waited = tarnctl(lab, "prepare", "--stun", STUN_ADDRS[0], "--wait", "10", *PEER)
            self.assertEqual(waited.returncode, 0, waited.stderr)
            self.assertIn("dev_addr", json.loads(waited.stdout)["result"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
