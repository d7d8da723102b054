"""tarn-peer behind each kind of application-side NAT learns the address the
Internet sees from coturn, and reports its own LAN address beside it."""

import json
import unittest

from nat_lab import STUN_ADDRS, STUN_PORT, Lab


class PeerAddressBehindNats(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Lab.require_tool("tarn-peer")

    def address_line(self, lab):
        proc = lab.run("app", ["tarn-peer", "--stun", "%s:%d" % (STUN_ADDRS[0], STUN_PORT),
                               "--port", "40000"], input="")
        # No answer line follows, so tarn-peer stops after its address line.
        self.assertEqual(proc.returncode, 2, proc.stderr)
        return json.loads(proc.stdout.splitlines()[0])

    def test_public_and_private_address(self):
        for kind in ("port-restricted", "symmetric", "open", "same-lan"):
            with self.subTest(app=kind), Lab(app=kind) as lab:
                a = self.address_line(lab)
                self.assertEqual(a["pub_ip"], lab.public_addr("app"))
                self.assertEqual((a["pri_ip"], a["pri_port"]), (lab.addr("app"), 40000))
                self.assertEqual(a["peer_pub"], "%s:%d" % (a["pub_ip"], a["pub_port"]))
                if kind != "symmetric":  # which keeps no port
                    self.assertEqual(a["pub_port"], 40000)


if __name__ == "__main__":
    unittest.main()
