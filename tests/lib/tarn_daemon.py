"""Run the real tarn binary inside a test sandbox and talk to its control port.

Tests using this module run under tests/sandbox (CTest does that), so /etc,
/run and /var/log are private and the network is a lone loopback. The test
process becomes a child subreaper: tarn daemonises, and its background process
is re-parented to us, so its real exit status can be collected.
"""

import ctypes
import json
import os
import signal
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("TARN_BIN", "")
PID_FILE = "/var/run/tarn.pid"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")

if not os.environ.get("TARN_SANDBOXED"):
    raise SystemExit("daemon tests must run inside tests/sandbox")

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_CHILD_SUBREAPER = 36
if _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
    raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")

_reaped = {}


def wait_until(predicate, timeout=10.0, what="condition"):
    """Polls predicate until it is true; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out waiting for " + what)
        time.sleep(0.01)


def _collect():
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        _reaped[pid] = os.waitstatus_to_exitcode(status)


def reap(pid, timeout=10.0):
    """Exit code of pid (a child or a re-parented grandchild)."""
    def done():
        _collect()
        return pid in _reaped
    wait_until(done, timeout, "process %d to end" % pid)
    return _reaped.pop(pid)


def reap_if_child(pid, timeout=10.0):
    """Exit code of pid if it is or was our child (re-parented ones included),
    None if it is not; for clean-ups that do not know who started what."""
    if pid in _reaped:
        return _reaped.pop(pid)
    deadline = time.monotonic() + timeout
    while True:
        try:
            done, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            return None
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            raise TimeoutError("process %d did not end" % pid)
        time.sleep(0.01)


def reap_any_new(known, timeout=10.0):
    """(pid, exit code) of the next process to end that is not in known."""
    def found():
        _collect()
        return [p for p in _reaped if p not in known]
    pid = wait_until(found, timeout, "a background process to end")[0]
    return pid, _reaped.pop(pid)


def read_file(path):
    with open(path) as f:
        return f.read()


def _answers_info():
    try:
        return request('{"request":"get_tarn_info"}', timeout=1.0).startswith('{"error_code":0')
    except OSError:
        return False


def inheritable_fds(pid):
    """(descriptor, target) of pid's descriptors above 2 that lack
    close-on-exec, i.e. that a program it starts would inherit."""
    found = []
    for fd in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            info = read_file("/proc/%d/fdinfo/%s" % (pid, fd))
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            continue  # closed meanwhile
        flags = int(info.split("flags:")[1].split()[0], 8)
        if int(fd) > 2 and not flags & os.O_CLOEXEC:
            found.append((int(fd), target))
    return found


def write_uci(package, text):
    os.makedirs("/etc/config", exist_ok=True)
    with open("/etc/config/" + package, "w") as f:
        f.write(text)


LAYOUTS = ("legacy", "current")


def network_config(device, mac=None, layout="legacy"):
    """/etc/config/network with the WAN on device. "legacy": before OpenWrt 21.02,
    option ifname and the MAC on the interface; "current" (OpenWrt 21.02 and
    later): option device, the MAC in a config device section. Without mac,
    uci holds none."""
    mac_line = "\toption macaddr '%s'\n" % mac if mac else ""
    if layout == "legacy":
        return "config interface 'wan'\n\toption ifname '%s'\n%s" % (device, mac_line)
    return ("config device\n\toption name '%s'\n%s\n"
            "config interface 'wan'\n\toption device '%s'\n\toption proto 'dhcp'\n"
            % (device, mac_line, device))


def set_device_mac(mac):
    write_uci("network", network_config("lo", mac))


class Daemon:
    """One tarn instance started with the given arguments."""

    def __init__(self, *args, debug=True, launcher=(), pid_file=PID_FILE, run_dir="/run",
                 program=()):
        """launcher and pid_file let a caller run tarn in other namespaces
        (launcher enters them; pid_file is the path of its pid file as seen from
        here); that caller must pass -d, since the control port is not ours.
        program is the command that runs tarn, when not TARN_BIN's."""
        self.args = list(args) + (["-d"] if debug else [])
        self.launcher = list(launcher)
        self.program = list(program) or [os.path.join(BIN, "tarn")]
        self.pid_file = pid_file
        self.dir = tempfile.mkdtemp(prefix="tarn-", dir=run_dir)
        self.out_path = os.path.join(self.dir, "stdout")
        self.err_path = os.path.join(self.dir, "stderr")
        self.pid = None

    def launch(self):
        """Starts tarn; returns the invoking process's exit status."""
        with open(self.out_path, "ab") as out, open(self.err_path, "ab") as err:
            proc = subprocess.Popen(self.launcher + self.program + self.args,
                                    stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        return proc.wait()

    def start(self):
        """Starts tarn and waits until its loop runs (without -d: until its
        control port answers)."""
        assert self.launch() == 0
        started = (lambda: "p2p daemon started" in self.log()) if "-d" in self.args \
            else _answers_info
        try:
            wait_until(started, what="tarn to start")
        except TimeoutError:
            raise AssertionError("tarn did not start:\n" + self.log() + self.stderr())
        self.pid = int(read_file(self.pid_file))
        return self

    def log(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def wait_log(self, text, timeout=10.0, count=1):
        wait_until(lambda: self.log().count(text) >= count, timeout, repr(text))

    def open_fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def stop(self, sig=signal.SIGTERM):
        """Signals the daemon and returns its exit code."""
        os.kill(self.pid, sig)
        code = reap(self.pid)
        self.pid = None
        self.check_sanitizers()
        return code

    def check_sanitizers(self):
        err = self.stderr()
        for mark in SANITIZER_MARKS:
            assert mark not in err, err

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        if self.pid is not None:
            try:
                self.stop(signal.SIGKILL)
            except ProcessLookupError:
                pass


def connect(addr="127.0.0.1", port=929, timeout=5.0):
    s = socket.create_connection((addr, port), timeout=timeout)
    return s


def read_to_eof(sock, timeout=5.0):
    """Everything the daemon sends until it closes the connection."""
    sock.settimeout(timeout)
    chunks = []
    while True:
        data = sock.recv(4096)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def request(text, addr="127.0.0.1", port=929, timeout=5.0):
    """Sends one request; returns the answer (the daemon closes after it)."""
    if isinstance(text, str):
        text = text.encode()
    with connect(addr, port, timeout) as s:
        s.sendall(text)
        return read_to_eof(s, timeout).decode()


def tarnctl(*args, timeout=30):
    return subprocess.run([os.path.join(BIN, "tarnctl")] + list(args), capture_output=True,
                          text=True, timeout=timeout)


CLOUD_LOG_FILE = "/var/log/cloud_log.log"


DEFAULT_SOCKET = "/var/run/ubus/ubus.sock"  # ubusd's since 2020, libubus's default
LEGACY_SOCKET = "/var/run/ubus.sock"  # tarn's first choice; ubusd's before


class Bus:
    """OpenWrt's ubusd on socket_path. The cloud_log and web_media stand-ins
    (on PATH) leave with it, as they exit when the bus goes away."""

    def __init__(self, socket_path=DEFAULT_SOCKET):
        self.socket_path = socket_path
        self.proc = None

    def answers(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(self.socket_path)
                return True
            except OSError:
                return False

    def __enter__(self):
        with open("/run/ubusd.out", "ab") as out:
            self.proc = subprocess.Popen([os.path.join(BIN, "ubusd"), "-s", self.socket_path],
                                         stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)
        wait_until(self.answers, what="the bus")
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.returncode = reap(self.proc.pid)


def reports(path=CLOUD_LOG_FILE):
    """The JSON reports cloud_log received, oldest first. The stand-in writes
    one line per report, with line breaks inside it escaped."""
    if not os.path.exists(path):
        return []
    out = []
    for line in read_file(path).splitlines():
        out.append(json.loads(line.replace("\\n", "\n").replace("\\r", "\r")))
    return out


def wait_reports(predicate=lambda r: True, count=1, timeout=30.0, path=CLOUD_LOG_FILE):
    """Waits until at least count reports satisfy predicate; returns them."""
    def found():
        hits = [r for r in reports(path) if predicate(r)]
        return hits if len(hits) >= count else None
    return wait_until(found, timeout, "%d report(s)" % count)
