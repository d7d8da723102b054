"""The NAT lab: a small Internet in network namespaces (docs/nat-lab.md).

The "inet" host's bridge br0 (203.0.113.0/24) links the STUN host (.1 and .2,
two coturns) and both sides: a NAT host (WAN "wan", LAN bridge "lan" on
192.168.x.1/24) with its host behind (eth0, 192.168.x.2), or an open or
firewalled host alone. Each host is a network namespace whose holder process
has a private /etc, /run and /var/log. Runs only inside tests/sandbox, whose
pid namespace ends whatever a test leaves behind.
"""

import ctypes
import itertools
import os
import select
import shlex
import signal
import socket
import struct
import subprocess
import sys

from tarn_daemon import BIN, DEFAULT_SOCKET, PID_FILE, Daemon, collect, network_config, wait_until

NAT_KINDS = ("port-restricted", "full-cone", "symmetric", "sequential-symmetric")
KINDS = NAT_KINDS + ("open", "firewall")
SAME_LAN = "same-lan"  # app side only: the application sits behind the device's NAT
STUN_ADDRS = ("203.0.113.1", "203.0.113.2")
STUN_PORT, STUN_ALT_PORT, PROBE_PORT, PROBE_ALT_PORT = 3478, 3479, 13478, 13479
# Datagrams that enter the Internet with fewer hops left are lost on the way,
# as on a real path: a low-TTL probe opens its own NAT but not the peer's.
INTERNET_HOPS = 16
# Per side: public address, LAN prefix, MAC of the host's eth0.
SIDES = {"dev": ("203.0.113.10", "192.168.1", "02:7a:72:6e:00:01"),
         "app": ("203.0.113.20", "192.168.2", "02:7a:72:6e:00:02")}
SAME_LAN_APP = ("192.168.1.3", "02:7a:72:6e:00:03")
# sequential-symmetric: the public port towards the STUN server, and how many
# ports after it are handed out in turn to every other destination.
SEQ_STUN_PORT, SEQ_PORTS = 40000, 8
# The device's tarn when not TARN_BIN's, e.g. a cross build under its emulator.
DEVICE_COMMAND = shlex.split(os.environ.get("TARN_DEVICE_COMMAND", ""))
HOST_PATH = ":".join(([BIN] if BIN else []) + ["/usr/sbin", "/usr/bin", "/sbin", "/bin"])
# A host's holder: private /run (= /var/run) and /var/log, a copy-on-write
# /etc without tarn's files; then it waits.
HOLDER = ("mount -t tmpfs -o mode=755 lab-run /run && mkdir -p /run/.etc/up /run/.etc/work && "
          "mount -t overlay lab-etc -o lowerdir=/etc,upperdir=/run/.etc/up,workdir=/run/.etc/work"
          " /etc && mount -t tmpfs lab-log /var/log && rm -rf /etc/config /etc/tarn.conf && "
          "mkdir /etc/config && echo ready && exec sleep infinity")

_libc = ctypes.CDLL(None, use_errno=True)
_lab_numbers = itertools.count()
_iptables = []


def _ip_batch(netns, lines, force=False):
    argv = ["ip"] + (["-force"] if force else []) + (["-n", netns] if netns else [])
    subprocess.run(argv + ["-batch", "-"], input="\n".join(lines) + "\n", text=True, check=True)


def _stun_answers(sock, server):
    """Whether server answers a Binding Request within 50 ms."""
    tid = os.urandom(16)
    sock.sendto(struct.pack("!HH", 1, 0) + tid, server)
    while select.select([sock], [], [], 0.05)[0]:
        if sock.recv(2048)[4:20] == tid:
            return True
    return False


class Lab:
    """A small Internet; use as a context manager. See docs/nat-lab.md."""

    def __init__(self, device="port-restricted", app="port-restricted",
                 device_wan_netem=None, app_wan_netem=None):
        assert device in KINDS and app in KINDS + (SAME_LAN,), (device, app)
        self.kinds = {"dev": device, "app": app}
        self.netem = {"dev": device_wan_netem, "app": app_wan_netem}
        self.prefix = "tl%d.%d" % (os.getpid(), next(_lab_numbers))
        self.hosts = {}  # name: the process holding that host
        self._addr = {}
        self._procs = []
        self._daemons = []
        self._shapers = {}

    def __enter__(self):
        try:
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Stops tarn, kills the rest, removes the namespaces; copes with a
        half-built lab."""
        try:
            for daemon in self._daemons:
                if daemon.pid is not None:
                    daemon.stop()  # not SIGKILL: coverage and leak checks need a real exit
        finally:
            inodes = {os.stat("/run/netns/" + self.netns(n)).st_ino for n in self.hosts}
            wait_until(lambda: not self._kill_all(inodes), 10.0, "the lab's processes to end")
            for proc in list(self.hosts.values()) + self._procs:
                proc.wait()
                for pipe in (proc.stdin, proc.stdout, proc.stderr):
                    if pipe is not None:
                        pipe.close()
            if self.hosts:
                _ip_batch(None, ["netns delete " + self.netns(n) for n in self.hosts], force=True)

    @staticmethod
    def _kill_all(inodes):
        """SIGKILLs the processes in those network namespaces; their pids."""
        found = []
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.stat("/proc/%s/ns/net" % entry).st_ino in inodes:
                    os.kill(int(entry), signal.SIGKILL)
                    found.append(entry)
            except OSError:
                pass  # gone meanwhile
        collect()  # the daemons that re-parented themselves to us
        return found

    def _build(self):
        names = ["inet", "stun"]
        for side in ("dev", "app"):
            names += [side + "-nat"] if self.kinds[side] in NAT_KINDS else []
            names.append(side)
        for name in names:
            subprocess.run(["ip", "netns", "add", self.netns(name)], check=True)
            self.hosts[name] = subprocess.Popen(
                ["ip", "netns", "exec", self.netns(name), "unshare", "--mount", "--propagation",
                 "private", "sh", "-c", HOLDER], stdout=subprocess.PIPE, text=True)
            if self.hosts[name].stdout.readline() != "ready\n":
                raise RuntimeError("lab host %s did not start" % name)
        self._wire()
        # br_netfilter shows bridged datagrams to inet's iptables.
        self.run("inet", ["sysctl", "-qw", "net.bridge.bridge-nf-call-iptables=1"], check=True)
        self.iptables("inet", "-A FORWARD -m ttl --ttl-lt %d -j DROP" % INTERNET_HOPS)
        for side in ("dev", "app"):
            self._filter(side)
        self._start_stun()
        for side, netem in self.netem.items():
            if netem:
                self.set_netem(side, *netem)

    def _wire(self):
        """One ip batch per namespace; inet first, each NAT before its hosts,
        since a namespace creates the veth pairs towards the next one."""
        batches = {"inet": ["link add br0 type bridge", "link set br0 up"],
                   "stun": ["addr add %s/24 dev eth0" % a for a in STUN_ADDRS]}
        self._uplink(batches, "stun")
        self._addr["stun"] = STUN_ADDRS[0]
        for side in ("dev", "app"):
            public, lan, mac = SIDES[side]
            if self.kinds[side] == SAME_LAN:
                self._lan_host(batches, "dev-nat", "app", *SAME_LAN_APP)
            elif self.kinds[side] in NAT_KINDS:
                nat = side + "-nat"
                self._uplink(batches, nat)
                batches[nat] = ["addr add %s/24 dev wan" % public, "link add lan type bridge",
                                "addr add %s.1/24 dev lan" % lan, "link set lan up"]
                self._addr[nat] = public
                self._lan_host(batches, nat, side, lan + ".2", mac)
            else:
                self._uplink(batches, side, mac)
                batches[side] = ["addr add %s/24 dev eth0" % public]
                self._addr[side] = public
        for name, lines in batches.items():
            up = ["link set %s up" % self._uplink_ifname(name)] if name != "inet" else []
            _ip_batch(self.netns(name), ["link set lo up"] + up + lines)

    @staticmethod
    def _uplink_ifname(name):
        return "wan" if name.endswith("-nat") else "eth0"

    def _uplink(self, batches, name, mac=None):
        """A veth from the inet bridge into namespace name."""
        batches["inet"] += ["link add p-%s type veth peer name %s%s netns %s" % (
            name, self._uplink_ifname(name), " address " + mac if mac else "", self.netns(name)),
            "link set p-%s master br0 up" % name]

    def _lan_host(self, batches, nat, name, addr, mac):
        batches[nat] += ["link add to-%s type veth peer name eth0 address %s netns %s"
                         % (name, mac, self.netns(name)), "link set to-%s master lan up" % name]
        batches[name] = ["addr add %s/24 dev eth0" % addr,
                         "route add default via " + addr.rsplit(".", 1)[0] + ".1"]
        self._addr[name] = addr

    def _filter(self, side):
        """The iptables rules that give side its kind."""
        kind = self.kinds[side]
        if kind == "firewall":
            # Only the WAN side is filtered; loopback inside the host stays open.
            self.iptables(side, "-A INPUT -i eth0 -p udp -m conntrack ! --ctstate "
                          "ESTABLISHED,RELATED -j DROP")
        if kind not in NAT_KINDS:
            return
        nat = side + "-nat"
        self.run(nat, ["sysctl", "-qw", "net.ipv4.ip_forward=1"], check=True)
        if kind == "symmetric":
            self.iptables(nat, "-t nat -A POSTROUTING -o wan -p udp -j MASQUERADE --random-fully")
        if kind == "sequential-symmetric":
            self._sequential_snat(nat, SIDES[side][0])
        # Like a home router, the NAT drops what nobody asked for at its WAN
        # input: dropped there, a stray datagram leaves no conntrack entry that
        # would push the next outgoing mapping to another public port.
        self.iptables(nat, "-t nat -A POSTROUTING -o wan -j MASQUERADE")
        self.iptables(nat, "-A INPUT -i wan -p udp -m conntrack --ctstate NEW -j DROP")
        if kind == "full-cone":
            self.iptables(nat, "-t nat -A PREROUTING -i wan -p udp -j DNAT --to-destination "
                          + self._addr[side])

    def _sequential_snat(self, nat, public):
        """One port towards the STUN server, then a new port per destination,
        in turn from the next one up. A plain SNAT port range will not do:
        Linux starts its search at a random offset in the range."""
        self.iptables(nat, "-t nat -A POSTROUTING -o wan -p udp -d %s --dport %d -j SNAT "
                      "--to-source %s:%d" % (STUN_ADDRS[0], STUN_PORT, public, SEQ_STUN_PORT))
        # Only a connection's first datagram passes the nat table, and each
        # rule sees what the ones before it let through: rule k takes one in
        # SEQ_PORTS - k of those, so new mappings go round the ports in order.
        for k in range(SEQ_PORTS):
            self.iptables(nat, "-t nat -A POSTROUTING -o wan -p udp -m statistic --mode nth "
                          "--every %d --packet 0 -j SNAT --to-source %s:%d"
                          % (SEQ_PORTS - k, public, SEQ_STUN_PORT + 1 + k))

    def iptables(self, host, rule):
        """Runs iptables rule in host; iptables-legacy where the nft-based
        one cannot work in a namespace (chosen once per process)."""
        if not _iptables:
            _iptables.append(next(c for c in ("iptables", "iptables-legacy")
                                  if self.run(host, [c, "-t", "nat", "-S"]).returncode == 0))
        return self.run(host, [_iptables[0]] + rule.split(), check=True).stdout

    def _start_stun(self):
        for port in (STUN_PORT, PROBE_PORT):
            state = "/run/turnserver-%d" % port
            os.makedirs(self.path("stun", state))
            with open(self.path("stun", "/var/log/turnserver-%d.log" % port), "wb") as log:
                self.popen("stun", [
                    "turnserver", "-n", "-S", "-L", STUN_ADDRS[0], "-L", STUN_ADDRS[1],
                    "--listening-port", str(port), "--no-cli", "--no-tls", "--no-dtls",
                    "--no-tcp", "--log-file", "stdout", "--simple-log",
                    "--pidfile", state + "/turnserver.pid", "--db", state + "/turndb"],
                    stdout=log, stderr=subprocess.STDOUT)
        with self.socket("stun") as probe:
            for server in [(a, p) for a in STUN_ADDRS
                           for p in (STUN_PORT, STUN_ALT_PORT, PROBE_PORT, PROBE_ALT_PORT)]:
                wait_until(lambda: _stun_answers(probe, server), 15.0, "coturn on %s:%d" % server)

    def netns(self, name):
        return "%s-%s" % (self.prefix, name)

    def addr(self, name):
        """A host's own address: LAN behind a NAT, else public (.1 for stun)."""
        return self._addr.get(name)

    def nat_of(self, side):
        """The NAT host in front of side, None for open or firewall."""
        if self.kinds[side] == SAME_LAN:
            return "dev-nat"
        return side + "-nat" if self.kinds[side] in NAT_KINDS else None

    def public_addr(self, side):
        """The address the Internet sees for side "dev" or "app"."""
        return self._addr[self.nat_of(side) or side]

    def mac(self, name):
        return SAME_LAN_APP[1] if self.kinds[name] == SAME_LAN else SIDES[name][2]

    def enter(self, name):
        """argv prefix that runs a command in host name, with TARN_BIN on PATH."""
        return ["nsenter", "--target", str(self.hosts[name].pid), "--mount", "--net", "--wd=/",
                "--", "env", "PATH=" + HOST_PATH]

    def run(self, name, argv, **kwargs):
        """subprocess.run in host name, text output captured by default."""
        kwargs = dict(dict(capture_output=True, text=True, timeout=60), **kwargs)
        return subprocess.run(self.enter(name) + list(argv), **kwargs)

    def popen(self, name, argv, **kwargs):
        """subprocess.Popen in host name; the lab ends it at tear-down."""
        self._procs.append(subprocess.Popen(self.enter(name) + list(argv),
                                            **dict(dict(stdin=subprocess.DEVNULL), **kwargs)))
        return self._procs[-1]

    def socket(self, name, kind=socket.SOCK_DGRAM, proto=0):
        """A socket in host name's network, used from this process (setns on
        this thread around the socket() call only)."""
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open("/run/netns/" + self.netns(name), os.O_RDONLY)
        try:
            if _libc.setns(target, 0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "setns")
            try:
                return socket.socket(socket.AF_INET, kind, proto)
            finally:
                _libc.setns(own, 0x40000000)
        finally:
            os.close(target)
            os.close(own)

    def path(self, name, path):
        """path of host name's file system, seen from here."""
        if path.startswith("/var/run/"):
            path = path[4:]
        return "/proc/%d/root%s" % (self.hosts[name].pid, path)

    def write(self, name, path, text):
        with open(self.path(name, path), "w") as f:
            f.write(text)

    def read(self, name, path):
        with open(self.path(name, path), errors="replace") as f:
            return f.read()

    def conntrack(self, name):
        """The connection-tracking table of host name, one entry a line."""
        with open("/proc/%d/net/nf_conntrack" % self.hosts[name].pid) as f:
            return f.read().splitlines()

    def set_netem(self, side, delay_ms=0, loss_pct=0):
        """Delay and loss on what side sends out of its WAN link (both 0: none),
        in force once this returns: lab_shaper.py on queue 0, bound before the
        rule that feeds it (--queue-bypass covers a shaper that died)."""
        host = self.nat_of(side) or side
        shaper, rule = self._shapers.get(host, (None, None))
        if shaper is None:
            shaper = self.popen(host, [sys.executable, os.path.join(os.path.dirname(
                os.path.abspath(__file__)), "lab_shaper.py"), "0"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            if shaper.stdout.readline() != "ready\n":
                raise RuntimeError("link shaper in %s did not start" % host)
        shaper.stdin.write("%g %g\n" % (delay_ms, loss_pct))
        shaper.stdin.flush()
        if shaper.stdout.readline() != "ok\n":
            raise RuntimeError("link shaper in %s failed" % host)
        new_rule = "-t mangle %%s POSTROUTING -o %s -j NFQUEUE --queue-num 0 --queue-bypass" % (
            "wan" if host != side else "eth0") if delay_ms or loss_pct else None
        if rule != new_rule:
            if rule:
                self.iptables(host, rule % "-D")
            if new_rule:
                self.iptables(host, new_rule % "-A")
        self._shapers[host] = (shaper, new_rule)

    def start_bus(self, name="dev", socket_path=DEFAULT_SOCKET):
        """OpenWrt's ubusd in host name on socket_path (as seen there)."""
        with open(self.path(name, "/var/log/ubusd.log"), "ab") as log:
            self.popen(name, [os.path.join(BIN, "ubusd"), "-s", socket_path], stdout=log,
                       stderr=subprocess.STDOUT)
        wait_until(lambda: os.path.exists(self.path(name, socket_path)), 10.0, "ubusd")

    def start_daemon(self, name, *args, media_port=None, layout="legacy", program=None):
        """`tarn -d ARGS` in host name (program's, else TARN_DEVICE_COMMAND's
        in "dev"), its WAN and MAC eth0's, after ubusd."""
        self.write(name, "/etc/config/network", network_config("eth0", self.mac(name), layout))
        if media_port is not None:
            self.write(name, "/etc/config/media_server",
                       "config media_server 'main'\n\toption port '%d'\n" % media_port)
        self.start_bus(name)
        daemon = Daemon(*args, launcher=self.enter(name), pid_file=self.path(name, PID_FILE),
                        program=program or (DEVICE_COMMAND if name == "dev" else ()))
        self._daemons.append(daemon)
        return daemon.start()

    def start_device_daemon(self, *args, **kwargs):
        return self.start_daemon("dev", *args, **kwargs)
