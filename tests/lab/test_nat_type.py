"""NAT classification and probe-port discovery against coturn behind every
lab NAT kind, through tarn-natcheck (tarn's own STUN client) in the device
host; each run's discovery report is read back from the cloud_log stand-in."""

import re
import unittest

from nat_lab import PROBE_ALT_PORT, PROBE_PORT, STUN_ADDRS, STUN_ALT_PORT, STUN_PORT, Lab
from roads import device_reports
from tarn_daemon import LEGACY_SOCKET

# The probe's send order: public port k answers endpoint k.
PROBE_ENDPOINTS = [(STUN_ADDRS[0], STUN_PORT), (STUN_ADDRS[1], STUN_ALT_PORT),
                   (STUN_ADDRS[0], PROBE_PORT), (STUN_ADDRS[1], PROBE_ALT_PORT),
                   (STUN_ADDRS[0], STUN_ALT_PORT), (STUN_ADDRS[1], STUN_PORT)]
ATTEMPT_US = 4150000
REPORT_FIELDS = ("natType", "respTestI", "respTestI2", "respTestII", "respTestIII",
                 "respTestHairpin", "resultBind")
# A public host's hairpin request comes back to itself, so open and firewall
# carry the 0x10 flag; the lab NATs do not hairpin.
EXPECTED = {
    "open": (0x10, 1, 1, 1, 1, 1, 1),
    "firewall": (0x1A, 1, 1, 0, 0, 1, 1),
    "full-cone": (0x02, 1, 1, 1, 1, 0, 0),
    "port-restricted": (0x06, 1, 1, 0, 0, 0, 0),
    "symmetric": (0x08, 1, 1, 0, 0, 0, 0),
}


def natcheck(lab, *options):
    """tarn-natcheck's output, its NAT code and the run's discovery report."""
    out = lab.run("dev", ["tarn-natcheck"] + list(options) + [STUN_ADDRS[0]])
    assert out.returncode == 0, out.stdout + out.stderr
    code = int(re.search(r"^nat code: \S+ \((-?\d+)\)$", out.stdout, re.M).group(1))
    report = device_reports(lab, lambda r: r.get("type") == "discoverNatType", timeout=10)[0]
    return out.stdout, code, report


def probe_ports(out):
    """(local port, six public ports, six answer offsets) of a probe run."""
    ports = [int(p) for p in re.search(r"^probe ports: ([\d ]+)$", out, re.M).group(1).split()]
    offsets = re.search(r"^probe offsets: ([\d ]+)$", out, re.M).group(1).split()
    return ports[0], ports[1:], [int(t) for t in offsets]


class NatType(unittest.TestCase):
    def test_every_kind(self):
        for kind, want in EXPECTED.items():
            with self.subTest(kind), Lab(device=kind) as lab:
                lab.start_bus("dev", LEGACY_SOCKET)  # the report finds ubusd there too
                # Up before the run: at exit, tarn-natcheck gives its report
                # only 1.5 s, too little to start cloud_log on a loaded machine.
                lab.run("dev", ["cloud_log"], check=True)
                out, code, report = natcheck(lab, "-p")
                self.assertEqual(code, want[0], out)
                self.assertEqual(tuple(report[f] for f in REPORT_FIELDS), want, report)
                # Tests I and I(2) both saw the public address, on one port
                # unless the mapping depends on the destination.
                self.assertEqual((report["testIMappedAddrIP"], report["testI2MappedAddrIP"]),
                                 (lab.public_addr("dev"),) * 2)
                same = report["testIMappedAddrPort"] == report["testI2MappedAddrPort"]
                self.assertEqual(same, kind != "symmetric", report)
                self.assertEqual(report["devSrcIP"], "0.0.0.0")
                self.assertTrue(16384 <= report["devSrcPort"] <= 32767 + 5, report)

                local, public, offsets = probe_ports(out)
                self.assertTrue(all(0 < t < ATTEMPT_US for t in offsets), offsets)
                # One attempt sufficed: every endpoint answered.
                self.assertNotIn("the probe func do not get all the stun return", out)
                if kind != "symmetric":
                    # Linux keeps the local port when nothing else holds it.
                    self.assertEqual(public, [local] * 6, out)
                    continue
                # Each public port is the one the NAT gave towards that endpoint.
                table = "\n".join(lab.conntrack("dev-nat"))
                for port, (addr, dport) in zip(public, PROBE_ENDPOINTS):
                    m = re.search(r"src=%s dst=%s sport=%d dport=%d .*?dport=(\d+)" % (
                        re.escape(lab.addr("dev")), re.escape(addr), local, dport), table)
                    self.assertEqual(int(m.group(1)) if m else None, port, table)
                self.assertEqual(len(set(public)), 6, public)


if __name__ == "__main__":
    unittest.main(verbosity=2)
