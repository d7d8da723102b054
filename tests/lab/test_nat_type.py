"""NAT classification and probe-port discovery against coturn, behind every
lab NAT kind, through tarn-natcheck (tarn's own STUN client) in the device
host. Each run's discovery report is read back from the cloud_log stand-in."""

import re
import time
import unittest

from nat_lab import STUN_ADDRS, STUN_PORT, STUN_ALT_PORT, PROBE_PORT, PROBE_ALT_PORT, Lab
from tarn_daemon import LEGACY_SOCKET, wait_reports

SERVER = STUN_ADDRS[0]
# The probe's send order: public port k answers endpoint k.
PROBE_ENDPOINTS = [(STUN_ADDRS[0], STUN_PORT), (STUN_ADDRS[1], STUN_ALT_PORT),
                   (STUN_ADDRS[0], PROBE_PORT), (STUN_ADDRS[1], PROBE_ALT_PORT),
                   (STUN_ADDRS[0], STUN_ALT_PORT), (STUN_ADDRS[1], STUN_PORT)]
ATTEMPT_US = 4150000

# kind: (code, respTestI, respTestI2, respTestII, respTestIII, hairpin, resultBind).
# A public host's hairpin request is delivered to itself, so open and
# firewall carry the 0x10 flag; the lab NATs do not hairpin.
EXPECTED = {
    "open": (0x10, 1, 1, 1, 1, 1, 1),
    "firewall": (0x1A, 1, 1, 0, 0, 1, 1),
    "full-cone": (0x02, 1, 1, 1, 1, 0, 0),
    "port-restricted": (0x06, 1, 1, 0, 0, 0, 0),
    "symmetric": (0x08, 1, 1, 0, 0, 0, 0),
}
REPORT_FIELDS = ("natType", "respTestI", "respTestI2", "respTestII", "respTestIII",
                 "respTestHairpin", "resultBind")


def natcheck(lab, *args):
    started = time.monotonic()
    out = lab.run("dev", ["tarn-natcheck"] + list(args) + [SERVER])
    return out, time.monotonic() - started


def code_of(out):
    m = re.search(r"^nat code: \S+ \((-?\d+)\)$", out.stdout, re.M)
    return int(m.group(1)) if m else None


def probe_of(out):
    ports = re.search(r"^probe ports: ([\d ]+)$", out.stdout, re.M)
    offsets = re.search(r"^probe offsets: ([\d ]+)$", out.stdout, re.M)
    if not ports or not offsets:
        return None, None
    return [int(p) for p in ports.group(1).split()], [int(t) for t in offsets.group(1).split()]


def conntrack_reply_port(lab, local_port, endpoint):
    """The public port dev-nat gave dev's local_port towards endpoint."""
    pattern = re.compile(r"src=%s dst=%s sport=%d dport=%d .*?dport=(\d+)"
                         % (re.escape(lab.addr("dev")), re.escape(endpoint[0]), local_port,
                            endpoint[1]))
    for line in lab.conntrack("dev-nat"):
        m = pattern.search(line)
        if m:
            return int(m.group(1))
    return None


class NatType(unittest.TestCase):
    def setUp(self):
        Lab.require_tool("tarn-natcheck")

    def classify(self, lab, kind, reports_before=0, probe=True):
        out, seconds = natcheck(lab, *(["-p"] if probe else []))
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        code = code_of(out)
        (report,) = wait_reports(lambda r: r.get("type") == "discoverNatType",
                                 count=reports_before + 1, timeout=10,
                                 path=lab.path("dev", "/var/log/cloud_log.log"))[reports_before:]
        print("\n  %s: code %#x in %.2f s (report duration %d ms)"
              % (kind, code, seconds, report["duration"]), end="")
        return out, code, report

    def check_kind(self, kind):
        with Lab(device=kind) as lab:
            lab.start_bus("dev")
            out, code, report = self.classify(lab, kind)
            want = EXPECTED[kind]
            self.assertEqual(code, want[0], out.stdout)
            self.assertEqual(tuple(report[f] for f in REPORT_FIELDS), want, report)
            # Test I's mapping is the side's public address; with an
            # independent mapping test I(2) saw the same one.
            self.assertEqual(report["testIMappedAddrIP"], lab.public_addr("dev"))
            self.assertEqual(report["testI2MappedAddrIP"], lab.public_addr("dev"))
            same = report["testIMappedAddrPort"] == report["testI2MappedAddrPort"]
            self.assertEqual(same, kind != "symmetric", report)
            self.assertEqual(report["devSrcIP"], "0.0.0.0")
            self.assertTrue(16384 <= report["devSrcPort"] <= 32767 + 5, report)
            self.assertIn("Primary: ", out.stdout)

            ports, offsets = probe_of(out)
            self.assertIsNotNone(ports, out.stdout)
            local, public = ports[0], ports[1:]
            self.assertNotIn(0, public, out.stdout)
            for t in offsets:
                self.assertTrue(0 < t < ATTEMPT_US, offsets)
            # One attempt sufficed: every endpoint answered.
            self.assertNotIn("the probe func do not get all the stun return", out.stdout)
            if kind == "symmetric":
                self.assertEqual(len(set(public)), 6, ports)
                for port, endpoint in zip(public, PROBE_ENDPOINTS):
                    self.assertEqual(conntrack_reply_port(lab, local, endpoint), port,
                                     "%s in %s" % (endpoint, lab.conntrack("dev-nat")))
            else:
                # Linux keeps the local port when nothing else holds it.
                self.assertEqual(public, [local] * 6, ports)
            return lab

    def test_open(self):
        self.check_kind("open")

    def test_firewall(self):
        self.check_kind("firewall")

    def test_full_cone(self):
        self.check_kind("full-cone")

    def test_port_restricted(self):
        self.check_kind("port-restricted")

    def test_symmetric(self):
        self.check_kind("symmetric")

    def test_unanswered_alternate_address_and_blocked_server(self):
        with Lab(device="full-cone") as lab:
            lab.start_bus("dev", LEGACY_SOCKET)  # the report finds ubusd there too
            # Test I(2) is the only request for the alternate address.
            iptables = lab._iptables("dev")
            rule = ["OUTPUT", "-p", "udp", "-d", STUN_ADDRS[1], "--dport", str(STUN_ALT_PORT),
                    "-j", "DROP"]
            lab.run("dev", [iptables, "-A"] + rule, check=True)
            out, code, report = self.classify(lab, "no alternate", probe=False)
            self.assertEqual(code, 0x08, out.stdout)
            self.assertEqual((report["respTestI"], report["respTestI2"], report["respTestII"]),
                             (1, 0, 1), report)
            self.assertEqual(report["testI2MappedAddrIP"], "")
            # Sent on every timeout after test I's answer: two extra cycles of
            # six timeouts, then the last cycle of seven.
            listing = lab.run("dev", [iptables, "-nvxL", "OUTPUT"], check=True).stdout
            dropped = [int(line.split()[0]) for line in listing.splitlines()
                       if "dpt:%d" % STUN_ALT_PORT in line]
            self.assertEqual(dropped, [6 + 6 + 7], listing)
            lab.run("dev", [iptables, "-D"] + rule, check=True)

            lab.set_netem("dev", 0, 100)
            out, code, report = self.classify(lab, "blocked", reports_before=1, probe=False)
            self.assertEqual(code, 0x0C, out.stdout)
            self.assertIn("Primary: Blocked or could not reach STUN server", out.stdout)
            self.assertEqual(tuple(report[f] for f in REPORT_FIELDS), (0x0C, 0, 0, 0, 0, 0, 1))
            self.assertEqual(report["testIMappedAddrIP"], "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
