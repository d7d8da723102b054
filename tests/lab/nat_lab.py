"""The NAT lab: a small Internet in network namespaces (docs/nat-lab.md).

    with Lab(device="full-cone", app="symmetric") as lab:
        lab.run("dev", ["ip", "-4", "addr"])
        daemon = lab.start_device_daemon()

Topology: the "inet" host holds the bridge br0 on 203.0.113.0/24; the STUN
host (203.0.113.1 and .2, two coturn instances) hangs off it, and so do the
device and application sides. A NAT side is a NAT host (WAN "wan" on the
bridge, LAN bridge "lan" on 192.168.x.1/24) with its host behind it (eth0,
192.168.x.2); an open or firewalled side is its host alone on the bridge.
Every host is a network namespace held by a lab_holder.py process that gives
it a private /etc, /run and /var/log; commands for a host enter that
process's namespaces with nsenter.

Needs root and tests/sandbox (tarn_daemon refuses to load elsewhere): the
lab's namespace names live in the sandbox's private /run/netns.
"""

import atexit
import ctypes
import itertools
import os
import select
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import stun_probe
from tarn_daemon import (BIN, DEFAULT_SOCKET, PID_FILE, Daemon, network_config, reap_if_child,
                         wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
HOLDER = os.path.join(HERE, "lab_holder.py")
SHAPER = os.path.join(HERE, "lab_shaper.py")

NAT_KINDS = ("port-restricted", "full-cone", "symmetric")
KINDS = NAT_KINDS + ("open", "firewall")
SAME_LAN = "same-lan"  # app side only: the application sits behind the device's NAT

STUN_ADDRS = ("203.0.113.1", "203.0.113.2")
STUN_PORT, STUN_ALT_PORT = 3478, 3479
PROBE_PORT, PROBE_ALT_PORT = 13478, 13479
STUN_PORTS = (STUN_PORT, STUN_ALT_PORT, PROBE_PORT, PROBE_ALT_PORT)
HOST_IFNAME = "eth0"
# Datagrams that enter the Internet with fewer hops left are lost on the way,
# as on a real path: a low-TTL probe opens its own NAT but not the peer's.
INTERNET_HOPS = 16
SHAPER_QUEUE = 0

# Per side: public address, LAN prefix, MAC of the host's eth0.
SIDES = {
    "dev": ("203.0.113.10", "192.168.1", "02:7a:72:6e:00:01"),
    "app": ("203.0.113.20", "192.168.2", "02:7a:72:6e:00:02"),
}
SAME_LAN_APP_ADDR = "192.168.1.3"
SAME_LAN_APP_MAC = "02:7a:72:6e:00:03"

# The device's tarn when it is not TARN_BIN's: a command line, e.g. a cross
# build's binary under its emulator.
DEVICE_COMMAND = shlex.split(os.environ.get("TARN_DEVICE_COMMAND", ""))

HOST_PATH = ":".join(([BIN] if BIN else []) +
                     ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"])

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000
PR_SET_PDEATHSIG = 1
_lab_numbers = itertools.count()
_iptables = None


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))


def socket_in_netns(netns_path, kind=socket.SOCK_DGRAM):
    """A socket that lives in another network namespace (setns on this
    thread for the socket() call only)."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        target = os.open(netns_path, os.O_RDONLY)
        try:
            _setns(target)
            try:
                return socket.socket(socket.AF_INET, kind)
            finally:
                _setns(own)
        finally:
            os.close(target)
    finally:
        os.close(own)


def _die_with_parent():
    # The holder cleans its host up when the test process dies, even by SIGKILL.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def _exit_on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def _install_signal_handlers():
    """SIGTERM and SIGHUP unwind the with-blocks, so labs are torn down."""
    if threading.current_thread() is not threading.main_thread():
        return
    for sig in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(sig) == signal.SIG_DFL:
            signal.signal(sig, _exit_on_signal)


def _wait_or_kill(proc, timeout=10.0):
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _read_line(proc, timeout=10.0):
    """One line from proc's stdout; "" if none comes within timeout."""
    if not select.select([proc.stdout], [], [], timeout)[0]:
        return ""
    return proc.stdout.readline()


def _ip_batch(netns, lines, force=False):
    argv = ["ip"] + (["-force"] if force else []) + (["-n", netns] if netns else [])
    subprocess.run(argv + ["-batch", "-"], input="\n".join(lines) + "\n", text=True, check=True)


def resolve_in_root(root, path):
    """root + path with symlinks resolved inside root: the kernel resolves an
    absolute link such as /var/run -> /run against our root, not root."""
    parts = [p for p in path.split("/") if p and p != "."]
    done, hops = "", 0
    while parts:
        part = parts.pop(0)
        if part == "..":
            done = done.rsplit("/", 1)[0]
            continue
        candidate = done + "/" + part
        if not os.path.islink(root + candidate):
            done = candidate
            continue
        hops += 1
        if hops > 40:
            raise OSError("too many symbolic links in " + path)
        target = os.readlink(root + candidate)
        if target.startswith("/"):
            done = ""
        parts = [p for p in target.split("/") if p and p != "."] + parts
    return root + (done or "/")


def media_server_config(port):
    return "config media_server 'main'\n\toption port '%d'\n" % port


class Host:
    """One namespace of the lab and the process that holds it."""

    def __init__(self, name, netns):
        self.name = name
        self.netns = netns
        self.holder = None

    @property
    def pid(self):
        return self.holder.pid

    def enter(self, cwd="/"):
        return ["nsenter", "--target", str(self.pid), "--mount", "--net", "--wd=" + cwd, "--",
                "env", "PATH=" + HOST_PATH]

    def start(self):
        self.holder = subprocess.Popen(
            ["ip", "netns", "exec", self.netns, "unshare", "--mount", "--propagation",
             "private", sys.executable, HOLDER, self.netns],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        with self.holder.stdout:
            line = _read_line(self.holder)
        if line != b"ready\n":
            raise RuntimeError("lab host %s did not start" % self.name)

    def stop(self):
        """Second half of the tear-down: the holder kills what is left."""
        _wait_or_kill(self.holder, 15.0)
        if self.holder.returncode != 0:
            print("nat_lab: host %s left processes behind" % self.name, file=sys.stderr)


class Lab:
    """A small Internet; use as a context manager. See docs/nat-lab.md."""

    def __init__(self, device="port-restricted", app="port-restricted",
                 device_wan_netem=None, app_wan_netem=None):
        if device not in KINDS:
            raise ValueError("device kind %r not in %s" % (device, KINDS))
        if app not in KINDS + (SAME_LAN,):
            raise ValueError("app kind %r not in %s" % (app, KINDS + (SAME_LAN,)))
        if app == SAME_LAN and device not in NAT_KINDS:
            raise ValueError("same-lan needs a NAT in front of the device")
        self.kinds = {"dev": device, "app": app}
        self.netem = {"dev": device_wan_netem, "app": app_wan_netem}
        self.prefix = "tl%d.%d" % (os.getpid(), next(_lab_numbers))
        self.hosts = {}
        self._netns = []
        self._addr = {}
        self._procs = []
        self._daemons = []
        self._shapers = {}
        self._queueing = set()
        self._closed = False

    # -- life cycle ------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        atexit.register(self.close)
        _install_signal_handlers()
        try:
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        """Kills every process in the lab's namespaces and removes them.
        Copes with a half-built lab; safe to call twice."""
        if self._closed:
            return
        self._closed = True
        atexit.unregister(self.close)
        leftovers = self.processes()
        for host in self.hosts.values():
            if host.holder is not None and host.holder.poll() is None:
                host.holder.send_signal(signal.SIGTERM)
        for host in self.hosts.values():
            if host.holder is not None:
                host.stop()
        for proc in self._procs:
            _wait_or_kill(proc)
            for pipe in (proc.stdin, proc.stdout):
                if pipe is not None:
                    pipe.close()
        for pid in leftovers:
            reap_if_child(pid)
        for daemon in self._daemons:
            daemon.pid = None
        if self._netns:
            _ip_batch(None, ["netns delete " + name for name in self._netns], force=True)

    def processes(self):
        """Pids of the processes inside the lab's namespaces, holders excluded."""
        inodes = set()
        for name in self._netns:
            inodes.add(os.stat("/run/netns/" + name).st_ino)
        holders = {h.pid for h in self.hosts.values() if h.holder is not None}
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) in holders:
                continue
            try:
                if os.stat("/proc/%s/ns/net" % entry).st_ino in inodes:
                    found.append(int(entry))
            except OSError:
                pass
        return found

    # -- building --------------------------------------------------------

    def _build(self):
        for name in self._host_names():
            self._add_netns(name)
            self.hosts[name] = Host(name, self.netns(name))
            self.hosts[name].start()
        self._wire()
        self._limit_hops()
        for side in ("dev", "app"):
            self._apply_filtering(side)
        self._start_stun()
        for side, netem in self.netem.items():
            if netem:
                self.set_netem(side, *netem)

    def _host_names(self):
        names = ["inet", "stun"]
        for side in ("dev", "app"):
            if self.kinds[side] in NAT_KINDS:
                names.append(side + "-nat")
            names.append(side)
        return names

    def _add_netns(self, name):
        full = self.netns(name)
        subprocess.run(["ip", "netns", "add", full], check=True)
        self._netns.append(full)

    def _wire(self):
        """One ip batch per namespace; inet first, each NAT before its hosts,
        since a namespace creates the veth pairs towards the next one."""
        batches = {"inet": ["link add br0 type bridge", "link set br0 up"]}
        self._uplink(batches, "stun", None)
        batches["stun"] = ["addr add %s/24 dev eth0" % a for a in STUN_ADDRS]
        self._addr["stun"] = STUN_ADDRS[0]
        for side in ("dev", "app"):
            self._wire_side(batches, side)
        for name, lines in batches.items():
            if name != "inet":
                lines = ["link set %s up" % self._uplink_ifname(name)] + lines
            _ip_batch(self.netns(name), ["link set lo up"] + lines)

    def _uplink_ifname(self, name):
        return "wan" if name.endswith("-nat") else HOST_IFNAME

    def _uplink(self, batches, name, mac):
        """A veth from the inet bridge into namespace name."""
        batches["inet"] += [
            "link add p-%s type veth peer name %s%s netns %s" % (
                name, self._uplink_ifname(name), " address " + mac if mac else "",
                self.netns(name)),
            "link set p-%s master br0 up" % name,
        ]

    def _wire_side(self, batches, side):
        public, lan, mac = SIDES[side]
        kind = self.kinds[side]
        if kind == SAME_LAN:
            self._lan_host(batches, "dev-nat", "app", SAME_LAN_APP_ADDR, SAME_LAN_APP_MAC)
            return
        if kind not in NAT_KINDS:
            self._uplink(batches, side, mac)
            batches[side] = ["addr add %s/24 dev %s" % (public, HOST_IFNAME)]
            self._addr[side] = public
            return
        nat = side + "-nat"
        self._uplink(batches, nat, None)
        batches[nat] = ["addr add %s/24 dev wan" % public, "link add lan type bridge",
                        "addr add %s.1/24 dev lan" % lan, "link set lan up"]
        self._addr[nat] = public
        self._lan_host(batches, nat, side, lan + ".2", mac)

    def _lan_host(self, batches, nat, name, addr, mac):
        batches[nat] += [
            "link add to-%s type veth peer name %s address %s netns %s" % (
                name, HOST_IFNAME, mac, self.netns(name)),
            "link set to-%s master lan up" % name,
        ]
        gateway = addr.rsplit(".", 1)[0] + ".1"
        batches[name] = ["addr add %s/24 dev %s" % (addr, HOST_IFNAME),
                         "route add default via " + gateway]
        self._addr[name] = addr

    def _limit_hops(self):
        # br_netfilter shows bridged datagrams to inet's iptables.
        self.run("inet", ["sysctl", "-qw", "net.bridge.bridge-nf-call-iptables=1"], check=True)
        self.run("inet", [self._iptables("inet"), "-A", "FORWARD", "-m", "ttl", "--ttl-lt",
                          str(INTERNET_HOPS), "-j", "DROP"], check=True)

    def _apply_filtering(self, side):
        where, rules = self._filter_rules(side)
        if where.endswith("-nat"):
            self.run(where, ["sysctl", "-qw", "net.ipv4.ip_forward=1"], check=True)
        for rule in rules:
            self.run(where, [self._iptables(where)] + rule.split(), check=True)

    def _filter_rules(self, side):
        """(host, iptables rules) that give side its kind."""
        kind = self.kinds[side]
        if kind == "firewall":
            # Only the WAN side is filtered; loopback traffic inside the host stays open.
            return side, ["-A INPUT -i %s -p udp -m conntrack ! --ctstate ESTABLISHED,RELATED "
                          "-j DROP" % HOST_IFNAME]
        if kind not in NAT_KINDS:
            return side, []
        # Like a home router, the NAT drops what nobody asked for at its own
        # WAN input. Dropped there, a stray datagram leaves no conntrack
        # entry behind that would push the next outgoing mapping to another
        # public port.
        rules = ["-t nat -A POSTROUTING -o wan -j MASQUERADE",
                 "-A INPUT -i wan -p udp -m conntrack --ctstate NEW -j DROP"]
        if kind == "symmetric":
            rules.insert(0, "-t nat -A POSTROUTING -o wan -p udp -j MASQUERADE --random-fully")
        if kind == "full-cone":
            rules.append("-t nat -A PREROUTING -i wan -p udp -j DNAT --to-destination "
                         + self._addr[side])
        return side + "-nat", rules

    def _iptables(self, host):
        """iptables, or iptables-legacy where the nft-based one cannot work
        in a namespace; chosen once per process."""
        global _iptables
        if _iptables is None:
            for candidate in ("iptables", "iptables-legacy"):
                if self.run(host, [candidate, "-t", "nat", "-S"]).returncode == 0:
                    _iptables = candidate
                    break
            else:
                raise RuntimeError("neither iptables nor iptables-legacy works in a namespace")
        return _iptables

    def _start_stun(self):
        servers = {}
        for port in (STUN_PORT, PROBE_PORT):
            state = "/run/turnserver-%d" % port
            os.makedirs(self.path("stun", state))
            argv = ["turnserver", "-n", "-S", "-L", STUN_ADDRS[0], "-L", STUN_ADDRS[1],
                    "--listening-port", str(port), "--no-cli", "--no-tls", "--no-dtls",
                    "--no-tcp", "--log-file", "stdout", "--simple-log",
                    "--pidfile", state + "/turnserver.pid", "--db", state + "/turndb"]
            with open(self.path("stun", "/var/log/turnserver-%d.log" % port), "wb") as log:
                servers[port] = self.popen("stun", argv, stdout=log, stderr=subprocess.STDOUT)
        with self.socket("stun") as probe:
            for addr in STUN_ADDRS:
                for port in STUN_PORTS:
                    wait_until(lambda: self._stun_answers(servers, probe, (addr, port)), 15.0,
                               "coturn on %s:%d" % (addr, port))

    def _stun_answers(self, servers, probe, server):
        for port, proc in servers.items():
            if proc.poll() is not None:
                raise RuntimeError("turnserver ended: " + self.read(
                    "stun", "/var/log/turnserver-%d.log" % port))
        return stun_probe.query(probe, server, timeout=0.05) is not None

    # -- naming and addresses -------------------------------------------

    def netns(self, name):
        """The network namespace name of host name."""
        return "%s-%s" % (self.prefix, name)

    def host(self, name):
        if name not in self.hosts:
            raise KeyError("no host %r in this lab (hosts: %s)" % (name, ", ".join(self.hosts)))
        return self.hosts[name]

    def addr(self, name):
        """IPv4 address of a host's own interface: LAN address behind a NAT,
        public address for open hosts, WAN address for a NAT, .1 for stun,
        None for inet (a switch)."""
        self.host(name)
        return self._addr.get(name)

    def public_addr(self, side):
        """The address the Internet sees for side "dev" or "app"."""
        nat = self.nat_of(side)
        return self._addr[nat] if nat else self._addr[side]

    def nat_of(self, side):
        """Name of the NAT host in front of side, None for open or firewall."""
        kind = self.kinds[side]
        if kind == SAME_LAN:
            return "dev-nat"
        return side + "-nat" if kind in NAT_KINDS else None

    def mac(self, name):
        return SAME_LAN_APP_MAC if name == "app" and self.kinds["app"] == SAME_LAN \
            else SIDES[name][2]

    # -- running things in hosts ------------------------------------------

    def enter(self, name, cwd="/"):
        """argv prefix that runs a command inside host name, in directory cwd
        of that host, with TARN_BIN first on PATH."""
        return self.host(name).enter(cwd)

    def run(self, name, argv, cwd="/", **kwargs):
        """subprocess.run inside host name; captures text output by default."""
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        kwargs.setdefault("timeout", 60)
        return subprocess.run(self.enter(name, cwd) + list(argv), **kwargs)

    def popen(self, name, argv, cwd="/", **kwargs):
        """subprocess.Popen inside host name; the lab kills it at tear-down."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(self.enter(name, cwd) + list(argv), **kwargs)
        self._procs.append(proc)
        return proc

    def socket(self, name, kind=socket.SOCK_DGRAM, bind=None):
        """A socket in host name's network, used from this process."""
        sock = socket_in_netns("/run/netns/" + self.netns(name), kind)
        if bind is not None:
            sock.bind(bind)
        return sock

    def path(self, name, path):
        """Where path of host name's file system is, seen from here."""
        return resolve_in_root("/proc/%d/root" % self.host(name).pid, path)

    def write(self, name, path, text):
        full = self.path(name, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)

    def read(self, name, path):
        with open(self.path(name, path), errors="replace") as f:
            return f.read()

    def exists(self, name, path):
        return os.path.lexists(self.path(name, path))

    def conntrack(self, name):
        """The connection-tracking table of host name, one entry a line."""
        return self.run(name, ["cat", "/proc/net/nf_conntrack"], check=True).stdout.splitlines()

    # -- link conditions --------------------------------------------------

    def set_netem(self, side, delay_ms=0, loss_pct=0):
        """Delay and loss, like netem's, on what side sends out of its WAN
        link (towards the Internet); both 0 removes them. In force for every
        datagram sent once this returns."""
        if self.kinds[side] == SAME_LAN:
            raise ValueError("a same-lan application shares the device's WAN link")
        nat = self.nat_of(side)
        where, ifname = (nat, "wan") if nat else (side, HOST_IFNAME)
        shaping = bool(delay_ms or loss_pct)
        shaper = self._shapers.get(where)
        if shaper is None:
            if not shaping:
                return
            shaper = self._shapers[where] = self._start_shaper(where)
        shaper.stdin.write("%g %g\n" % (delay_ms, loss_pct))
        shaper.stdin.flush()
        if _read_line(shaper) != "ok\n":
            raise RuntimeError("link shaper in %s failed" % where)
        if shaping != (where in self._queueing):
            self.run(where, [self._iptables(where), "-t", "mangle", "-A" if shaping else "-D",
                             "POSTROUTING", "-o", ifname, "-j", "NFQUEUE", "--queue-num",
                             str(SHAPER_QUEUE), "--queue-bypass"], check=True)
            if shaping:
                self._queueing.add(where)
            else:
                self._queueing.discard(where)

    def limit_rate(self, side, kbit):
        """Caps what reaches side's host from the Internet at kbit kbit/s with
        a token bucket (tc tbf) on the NAT's link toward it."""
        nat = self.nat_of(side)
        if nat is None:
            raise ValueError("limit_rate needs a side behind a NAT")
        self.run(nat, ["tc", "qdisc", "replace", "dev", "to-" + side, "root", "tbf", "rate",
                       "%dkbit" % kbit, "burst", "32kbit", "latency", "400ms"], check=True)

    def _start_shaper(self, where):
        """sch_netem is missing from some kernels: a netfilter queue and
        lab_shaper.py stand in. Bound before its rule, so nothing is queued to
        an unbound queue (--queue-bypass covers a shaper that died)."""
        shaper = self.popen(where, [sys.executable, SHAPER, str(SHAPER_QUEUE)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if _read_line(shaper) != "ready\n":
            raise RuntimeError("link shaper in %s did not start" % where)
        return shaper

    # -- tarn and its services --------------------------------------------

    @staticmethod
    def has_tool(tool):
        return bool(BIN) and os.access(os.path.join(BIN, tool), os.X_OK)

    @classmethod
    def require_tool(cls, tool):
        if not cls.has_tool(tool):
            raise unittest.SkipTest("%s is not built" % tool)

    def start_bus(self, name="dev", socket_path=DEFAULT_SOCKET):
        """Starts OpenWrt's ubusd in host name on socket_path (as seen there)
        and waits for the socket."""
        sock = self.path(name, socket_path)
        log_path = self.path(name, "/var/log/ubusd.log")
        with open(log_path, "ab") as log:
            proc = self.popen(name, [os.path.join(BIN, "ubusd"), "-s", socket_path],
                              stdout=log, stderr=subprocess.STDOUT)
        wait_until(lambda: os.path.exists(sock) or proc.poll() is not None, 10.0,
                   "ubusd in " + name)
        if proc.poll() is not None:
            raise RuntimeError("ubusd failed: " + self.read(name, "/var/log/ubusd.log"))
        return proc

    def start_daemon(self, name, *args, media_port=None, bus=True, layout="legacy"):
        """Writes host name's network config in layout (tarn_daemon.network_config;
        WAN = its eth0, MAC = eth0's), starts ubusd there (bus=True), then
        `tarn -d ARGS` in the host (in "dev": TARN_DEVICE_COMMAND's tarn when
        that is set). Returns the started tarn_daemon.Daemon: its log is in the
        host's /var/log, its pid from the host's /var/run/tarn.pid."""
        self.write(name, "/etc/config/network",
                   network_config(HOST_IFNAME, self.mac(name), layout))
        if media_port is not None:
            self.write(name, "/etc/config/media_server", media_server_config(media_port))
        if bus:
            self.start_bus(name)
        daemon = Daemon(*args, debug=True, launcher=self.enter(name),
                        pid_file=self.path(name, PID_FILE),
                        run_dir=self.path(name, "/var/log"),
                        program=DEVICE_COMMAND if name == "dev" else ())
        self._daemons.append(daemon)
        return daemon.start()

    def start_device_daemon(self, *args, **kwargs):
        return self.start_daemon("dev", *args, **kwargs)


def _main(argv):
    """By hand, under tests/sandbox: build a lab, print its hosts, run a
    command (default: a shell) with LAB_<HOST>=holder pid in its environment."""
    import argparse
    parser = argparse.ArgumentParser(description="Build a NAT lab and run a command beside it.")
    parser.add_argument("--device", default="port-restricted", choices=KINDS)
    parser.add_argument("--app", default="port-restricted", choices=KINDS + (SAME_LAN,))
    parser.add_argument("--device-delay", type=float, default=0, help="ms, device WAN out")
    parser.add_argument("--device-loss", type=float, default=0, help="%%, device WAN out")
    parser.add_argument("command", nargs="*", default=[os.environ.get("SHELL", "/bin/bash")])
    opts = parser.parse_args(argv)
    netem = (opts.device_delay, opts.device_loss) if opts.device_delay or opts.device_loss else None
    started = time.monotonic()
    with Lab(device=opts.device, app=opts.app, device_wan_netem=netem) as lab:
        print("lab up in %.2f s" % (time.monotonic() - started))
        env = dict(os.environ)
        for name, host in lab.hosts.items():
            var = "LAB_" + name.upper().replace("-", "_")
            env[var] = str(host.pid)
            print("%-8s %-15s netns %-18s nsenter -t $%s -m -n CMD"
                  % (name, lab.addr(name) or "-", host.netns, var))
        code = subprocess.run(opts.command, env=env).returncode
    return code


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
