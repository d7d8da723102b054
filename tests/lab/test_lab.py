"""The NAT lab builds what it claims: each NAT kind maps and filters as that
kind must, the STUN host answers on every address and port, the link shaper
delays and drops, hosts are isolated, and tear-down leaves nothing behind."""

import os
import select
import signal
import socket
import subprocess
import sys
import textwrap
import time
import unittest

import stun_probe
from nat_lab import PROBE_ALT_PORT, PROBE_PORT, STUN_ADDRS, STUN_ALT_PORT, STUN_PORT, Lab
from tarn_daemon import DEFAULT_SOCKET, reap_if_child, wait_until

STUN_SERVER = (STUN_ADDRS[0], STUN_PORT)
CONTACTED = (STUN_ADDRS[0], 40001)  # a plain socket on the STUN host
ALL_STUN_ENDPOINTS = [(a, p) for a in STUN_ADDRS
                      for p in (STUN_PORT, STUN_ALT_PORT, PROBE_PORT, PROBE_ALT_PORT)]


def udp(lab, host):
    return lab.socket(host, bind=(lab.addr(host), 0))


def ask(sock, server, **flags):
    answer = stun_probe.query(sock, server, timeout=5.0, **flags)
    assert answer is not None, "no STUN answer from %s:%d" % server
    return answer


def receive(sock, until, timeout=5.0):
    """{payload: sender} of what sock receives until every payload in until
    has come, plus whatever is already queued behind them."""
    got = {}
    deadline = time.monotonic() + timeout
    while not until <= got.keys():
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            raise TimeoutError("still waiting for %s, got %s" % (until - got.keys(), got))
        data, sender = sock.recvfrom(2048)
        got[data] = sender
    while select.select([sock], [], [], 0)[0]:
        data, sender = sock.recvfrom(2048)
        got[data] = sender
    return got


def round_trip(sock, server):
    started = time.monotonic()
    ask(sock, server)
    return time.monotonic() - started


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def lab_namespaces(prefix):
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                             check=True).stdout
    return [line.split()[0] for line in listing.splitlines() if line.startswith(prefix + "-")]


class NatKind:
    """What every kind is checked for; subclasses give the kind, how it maps
    ports and whether it lets in datagrams nobody asked for."""
    KIND = None
    MAPPING = "independent"  # one public port for every destination
    ACCEPTS_UNSOLICITED = False

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(device=cls.KIND).start()

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def test_mapped_address_seen_by_the_stun_host(self):
        lab = self.lab
        with udp(lab, "dev") as sock:
            answers = {server: ask(sock, server) for server in ALL_STUN_ENDPOINTS}
            local_port = sock.getsockname()[1]
        for server, answer in answers.items():
            with self.subTest(server=server):
                self.assertEqual(answer["from"], server)
                self.assertEqual(answer["source"], server)
                self.assertEqual(answer["mapped"][0], lab.public_addr("dev"))
        ports = [answer["mapped"][1] for answer in answers.values()]
        if self.MAPPING == "per-destination":
            # One random collision allowed.
            self.assertGreaterEqual(len(set(ports)), len(ports) - 1, ports)
        elif self.MAPPING == "none":
            self.assertEqual(set(ports), {local_port})
        else:
            self.assertEqual(len(set(ports)), 1, ports)

    def test_unsolicited_datagrams(self):
        lab = self.lab
        with udp(lab, "dev") as dev, \
                lab.socket("stun", bind=CONTACTED) as contacted, \
                lab.socket("stun", bind=(STUN_ADDRS[1], 40001)) as other_address, \
                lab.socket("stun", bind=(STUN_ADDRS[0], 40002)) as other_port:
            dev.sendto(b"hello", CONTACTED)
            mapped = receive(contacted, {b"hello"})[b"hello"]
            other_address.sendto(b"other address", mapped)
            other_port.sendto(b"other port", mapped)
            contacted.sendto(b"answer", mapped)
            unsolicited = {b"other address", b"other port"}
            expected = unsolicited if self.ACCEPTS_UNSOLICITED else set()
            got = receive(dev, expected | {b"answer"})
        self.assertEqual(got.keys() - {b"answer"}, expected)
        self.assertEqual(got[b"answer"], CONTACTED)


class AcceptsUnsolicited(NatKind):
    ACCEPTS_UNSOLICITED = True

    def test_change_request_answer_arrives(self):
        with udp(self.lab, "dev") as sock:
            answer = ask(sock, STUN_SERVER, change_ip=True, change_port=True)
        self.assertEqual(answer["from"], (STUN_ADDRS[1], STUN_ALT_PORT))
        self.assertEqual(answer["mapped"][0], self.lab.public_addr("dev"))


class PortRestrictedCone(NatKind, unittest.TestCase):
    KIND = "port-restricted"

    def test_hosts_have_their_own_files_and_links(self):
        lab = self.lab
        lab.write("dev", "/etc/config/network", "dev only\n")
        lab.run("dev", ["sh", "-c", "echo dev > /var/run/marker; echo dev > /var/log/marker"],
                check=True)
        self.addCleanup(lab.run, "dev", ["rm", "-f", "/etc/config/network", "/run/marker",
                                         "/var/log/marker"])
        self.assertEqual(lab.run("dev", ["cat", "/etc/config/network"]).stdout, "dev only\n")
        self.assertEqual(lab.read("dev", "/run/marker"), "dev\n")
        for other in ("app", "stun", "dev-nat"):
            for path in ("/etc/config/network", "/var/run/marker", "/var/log/marker"):
                with self.subTest(host=other, path=path):
                    self.assertFalse(lab.exists(other, path))
        for path in ("/etc/config/network", "/run/marker", "/var/log/marker"):
            self.assertFalse(os.path.exists(path), path)
        link = lab.run("dev", ["ip", "-o", "-4", "addr", "show", "eth0"], check=True).stdout
        self.assertIn(" %s/24 " % lab.addr("dev"), link)
        mac = lab.run("dev", ["cat", "/sys/class/net/eth0/address"], check=True).stdout
        self.assertEqual(mac.strip(), lab.mac("dev"))

    def test_hole_punching_between_the_sides(self):
        lab = self.lab
        with udp(lab, "dev") as dev, udp(lab, "app") as app:
            dev_public = ask(dev, STUN_SERVER)["mapped"]
            app_public = ask(app, STUN_SERVER)["mapped"]
            self.assertEqual(app_public[0], lab.public_addr("app"))
            # A low-TTL datagram opens the device's NAT but dies in the
            # Internet; had it reached the application's NAT, that NAT would
            # have moved the application's next mapping to another port.
            dev.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, 5)
            dev.sendto(b"low ttl", app_public)
            dev.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, 64)
            wait_until(lambda: self.nat_knows(dev_public, app_public), 5.0, "the device's NAT")
            app.sendto(b"from app", dev_public)
            self.assertEqual(receive(dev, {b"from app"}), {b"from app": app_public})
            dev.sendto(b"from dev", app_public)
            self.assertEqual(receive(app, {b"from dev"}), {b"from dev": dev_public})

    def nat_knows(self, public, peer):
        """The device's NAT lets peer reach public (its reply tuple)."""
        entry = "src=%s dst=%s sport=%d dport=%d" % (peer[0], public[0], peer[1], public[1])
        return any(entry in line for line in self.lab.conntrack("dev-nat"))

    def test_tarn_runs_in_the_device_host(self):
        Lab.require_tool("tarn")
        lab = self.lab
        device = lab.start_device_daemon()
        other = lab.start_daemon("app")  # its own pid file and port 929
        for daemon in (device, other):
            self.addCleanup(daemon.__exit__, None, None, None)
        host_net = os.readlink("/proc/%d/ns/net" % lab.host("dev").pid)
        self.assertEqual(os.readlink("/proc/%d/ns/net" % device.pid), host_net)
        self.assertNotEqual(device.pid, other.pid)
        self.assertIn("'eth0'", lab.read("dev", "/etc/config/network"))
        info = lab.run("dev", ["tarnctl", "info"])
        self.assertEqual(info.returncode, 0, info.stdout + info.stderr)
        self.assertTrue(lab.exists("dev", DEFAULT_SOCKET))
        self.assertEqual(device.stop(), 0)
        self.assertEqual(other.stop(), 0)


class FullCone(AcceptsUnsolicited, unittest.TestCase):
    KIND = "full-cone"


class Symmetric(NatKind, unittest.TestCase):
    KIND = "symmetric"
    MAPPING = "per-destination"


class Open(AcceptsUnsolicited, unittest.TestCase):
    KIND = "open"
    MAPPING = "none"


class Firewall(NatKind, unittest.TestCase):
    KIND = "firewall"
    MAPPING = "none"


class SameLan(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(device="port-restricted", app="same-lan").start()

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def test_both_sit_behind_one_nat(self):
        lab = self.lab
        self.assertNotIn("app-nat", lab.hosts)
        self.assertEqual(lab.nat_of("app"), "dev-nat")
        for host in ("dev", "app"):
            with self.subTest(host=host), udp(lab, host) as sock:
                self.assertEqual(ask(sock, STUN_SERVER)["mapped"][0], lab.addr("dev-nat"))

    def test_lan_traffic_is_not_translated(self):
        lab = self.lab
        with udp(lab, "dev") as dev, udp(lab, "app") as app:
            app.sendto(b"over the lan", dev.getsockname())
            got = receive(dev, {b"over the lan"})
        self.assertEqual(got[b"over the lan"][0], lab.addr("app"))


class LinkConditions(unittest.TestCase):
    DEVICE_DELAY_MS = 600
    APP_DELAY_MS = 150

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(device="port-restricted", app="open",
                      device_wan_netem=(cls.DEVICE_DELAY_MS, 0),
                      app_wan_netem=(cls.APP_DELAY_MS, 0)).start()

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def test_delay_lengthens_the_round_trip(self):
        for side, delay_ms in (("dev", self.DEVICE_DELAY_MS), ("app", self.APP_DELAY_MS)):
            with self.subTest(side=side), udp(self.lab, side) as sock:
                self.assertGreaterEqual(round_trip(sock, STUN_SERVER), delay_ms / 1000.0)

    def test_loss_can_be_set_and_cleared(self):
        lab = self.lab
        self.addCleanup(lab.set_netem, "dev", self.DEVICE_DELAY_MS, 0)
        with udp(lab, "dev") as dev, \
                lab.socket("stun", bind=(STUN_ADDRS[0], 40001)) as stun:
            lab.set_netem("dev", 0, 100)
            dev.sendto(b"lost", stun.getsockname())
            lab.set_netem("dev")
            dev.sendto(b"kept", stun.getsockname())
            self.assertEqual(receive(stun, {b"kept"}).keys(), {b"kept"})


CHILD_LAB = textwrap.dedent("""
    import os, signal, sys
    from nat_lab import Lab
    with Lab(device="full-cone") as lab:
        pids = [h.pid for h in lab.hosts.values()] + lab.processes()
        print(lab.prefix, *pids, flush=True)
        if sys.argv[1] == "raise":
            raise RuntimeError("test failed inside the lab")
        sys.stdin.read()  # until the parent signals us
""")


class TearDown(unittest.TestCase):
    def run_child_lab(self, how, sig=None):
        """(exit code, lab prefix, pids) of a child process that builds a lab
        and then raises or is signalled."""
        child = subprocess.Popen([sys.executable, "-c", CHILD_LAB, how], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        with child:
            prefix, *pids = child.stdout.readline().split()
            if sig is not None:
                child.send_signal(sig)
            code = child.wait(timeout=60)
            err = child.stderr.read()
        return code, prefix, [int(p) for p in pids], err

    def assert_gone(self, prefix, pids):
        def ended():
            for pid in pids:
                reap_if_child(pid)
            return not any(alive(pid) for pid in pids)
        wait_until(ended, 20.0, "the lab's processes to end")
        self.assertGreaterEqual(len(pids), 7)  # holders, both coturns

    def test_exception_inside_the_lab(self):
        code, prefix, pids, err = self.run_child_lab("raise")
        self.assertEqual(code, 1)
        self.assertIn("test failed inside the lab", err)
        self.assertEqual(lab_namespaces(prefix), [])
        self.assert_gone(prefix, pids)

    def test_sigterm_inside_the_lab(self):
        code, prefix, pids, _ = self.run_child_lab("wait", signal.SIGTERM)
        self.assertEqual(code, 128 + signal.SIGTERM)
        self.assertEqual(lab_namespaces(prefix), [])
        self.assert_gone(prefix, pids)

    def test_killed_test_process_leaves_no_process(self):
        code, prefix, pids, _ = self.run_child_lab("wait", signal.SIGKILL)
        self.assertEqual(code, -signal.SIGKILL)
        # The holders see their parent die and empty their hosts; only the
        # names stay behind (in the sandbox's /run, gone with the sandbox).
        self.assert_gone(prefix, pids)
        names = lab_namespaces(prefix)
        self.assertEqual(len(names), 6)
        for name in names:
            subprocess.run(["ip", "netns", "delete", name], check=True)

    def test_two_labs_side_by_side(self):
        with Lab(device="port-restricted") as first:
            with Lab(device="open") as second:
                self.assertNotEqual(first.prefix, second.prefix)
                for lab in (first, second):
                    with udp(lab, "dev") as sock:
                        self.assertEqual(ask(sock, STUN_SERVER)["mapped"][0],
                                         lab.public_addr("dev"))
            self.assertEqual(lab_namespaces(second.prefix), [])
            self.assertEqual(len(lab_namespaces(first.prefix)), 6)
            with udp(first, "dev") as sock:
                self.assertEqual(ask(sock, STUN_SERVER)["mapped"][0], first.public_addr("dev"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
