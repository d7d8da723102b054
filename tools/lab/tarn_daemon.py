"""The real tarn binary in a sandbox, its control port, bus and reports: the
daemon tests drive it, and the NAT lab (the lab tests, the demo, the
benchmarks) starts it through here.

Runs only under tests/sandbox (private /etc, /run, /var/log, lone loopback)
as the init of its pid namespace: tarn daemonises, its background process is
re-parented to us, and its real exit status can be collected.
"""

import codecs
import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("TARN_BIN", "")
PID_FILE = "/var/run/tarn.pid"
CLOUD_LOG_FILE = "/var/log/cloud_log.log"
DEFAULT_SOCKET = "/var/run/ubus/ubus.sock"  # ubusd's since 2020, libubus's default
LEGACY_SOCKET = "/var/run/ubus.sock"  # tarn's first choice; ubusd's before
INFO = '{"request":"get_tarn_info"}'
INFO_ANSWER = '{"error_code":0,"result":{"version":"1.1"}}'
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")

if os.getpid() != 1 or not os.environ.get("TARN_SANDBOXED"):
    raise SystemExit("daemon tests must run inside tests/sandbox")

_reaped = {}
# Every SIGCHLD writes a byte here, so reap() sleeps until a process ends;
# a handler (unlike a blocked mask) is not inherited by the programs we start.
_child_ended, _wakeup = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
signal.set_wakeup_fd(_wakeup, warn_on_full_buffer=False)
signal.signal(signal.SIGCHLD, lambda *_: None)


def wait_until(predicate, timeout=10.0, what="condition"):
    """Polls predicate, for conditions no event announces; its true value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out waiting for " + what)
        time.sleep(0.01)


def collect():
    """Reaps every child that has ended, re-parented ones included."""
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        _reaped[pid] = os.waitstatus_to_exitcode(status)


def reap(pid=None, timeout=10.0):
    """Exit code of pid, a child or a re-parented grandchild; without pid,
    of the next such process to end (a daemon that failed to start)."""
    deadline = time.monotonic() + timeout
    while True:
        collect()
        if pid in _reaped or (pid is None and _reaped):
            return _reaped.pop(pid or next(iter(_reaped)))
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("timed out waiting for a process to end")
        if select.select([_child_ended], [], [], left)[0]:
            os.read(_child_ended, 512)


def read_file(path):
    with open(path, errors="replace") as f:
        return f.read()


def cpu_seconds(pid):
    """User and system time of pid, all its threads (/proc/PID/stat 14, 15)."""
    fields = read_file("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def inheritable_fds(pid):
    """(descriptor, target) of pid's descriptors above 2 without close-on-exec."""
    found = []
    for fd in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            info = read_file("/proc/%d/fdinfo/%s" % (pid, fd))
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            continue  # closed meanwhile
        if int(fd) > 2 and not int(info.split("flags:")[1].split()[0], 8) & os.O_CLOEXEC:
            found.append((int(fd), target))
    return found


def network_config(device, mac=None, layout="legacy"):
    """/etc/config/network with the WAN on device, as OpenWrt before 21.02
    ("legacy": option ifname) or since ("current": a config device section)."""
    mac_line = "\toption macaddr '%s'\n" % mac if mac else ""
    if layout == "legacy":
        return "config interface 'wan'\n\toption ifname '%s'\n%s" % (device, mac_line)
    return ("config device\n\toption name '%s'\n%s\nconfig interface 'wan'\n"
            "\toption device '%s'\n\toption proto 'dhcp'\n" % (device, mac_line, device))


def set_device_mac(mac="00:11:22:aa:bb:cc"):
    with open("/etc/config/network", "w") as f:
        f.write(network_config("lo", mac))


class Output:
    """What a program writes to a pipe, gathered on a thread; waits wake on
    each new piece and look only at what came since their last look, so a
    long, chatty run never holds the reader back (a full pipe would slow the
    program under test)."""

    def __init__(self, pipe):
        self._pieces = []
        self._changed = threading.Condition()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        with pipe:
            for chunk in iter(lambda: pipe.read1(65536), b""):
                piece = decoder.decode(chunk)
                with self._changed:
                    self._pieces.append(piece)
                    self._changed.notify_all()

    @property
    def text(self):
        with self._changed:
            return "".join(self._pieces)

    def wait(self, text, timeout=10.0, count=1):
        seen = {"found": 0, "next": 0, "tail": ""}

        def enough():
            window = seen["tail"] + "".join(self._pieces[seen["next"]:])
            seen["next"] = len(self._pieces)
            seen["found"] += window.count(text)
            # Too short to hold a whole match: it is counted once it completes.
            seen["tail"] = window[len(window) - len(text) + 1:] if len(text) > 1 else ""
            return seen["found"] >= count

        with self._changed:
            if not self._changed.wait_for(enough, timeout):
                raise TimeoutError("timed out waiting for %r; the log ends:\n%s"
                                   % (text, "".join(self._pieces)[-3000:]))


class Daemon:
    """One tarn started with args; with -f it stays our child. launcher
    enters other namespaces (then pid_file is the pid file as seen from here,
    and -d is needed, since the control port is not ours); program runs tarn
    when not TARN_BIN's."""

    def __init__(self, *args, debug=True, launcher=(), pid_file=PID_FILE, program=()):
        self.argv = list(launcher) + (list(program) or [os.path.join(BIN, "tarn")]) + \
            list(args) + (["-d"] if debug else [])
        self.debug, self.foreground, self.pid_file = debug, "-f" in args, pid_file
        self.err = tempfile.NamedTemporaryFile(prefix="tarn-", suffix=".err", dir="/run")
        self.out = self.proc = self.pid = None

    def launch(self, wait=True):
        """Starts tarn; returns the invoking process's exit status (its own
        for -f) unless wait is false."""
        # Kept: a dropped Popen would reap the process behind reap()'s back.
        self.proc = subprocess.Popen(self.argv, stdout=subprocess.PIPE, stderr=self.err,
                                     stdin=subprocess.DEVNULL)
        self.out = Output(self.proc.stdout)
        self.pid = self.proc.pid
        return self.proc.wait() if wait else None

    def start(self):
        """Starts tarn and waits until its loop runs (without -d: until its
        control port answers)."""
        assert self.launch(wait=not self.foreground) in (0, None)
        try:
            if self.debug:
                self.wait_log("p2p daemon started")
            else:
                wait_until(lambda: port_answers(INFO) == INFO_ANSWER, what="tarn to start")
        except TimeoutError:
            raise AssertionError("tarn did not start:\n" + self.log() + self.stderr())
        if not self.foreground:
            self.pid = int(read_file(self.pid_file))
        return self

    def log(self):
        return self.out.text

    def stderr(self):
        return read_file(self.err.name)

    def wait_log(self, text, timeout=10.0, count=1):
        self.out.wait(text, timeout, count)

    def open_fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def stop(self, sig=signal.SIGTERM):
        """Signals tarn (sig 0: not); returns its exit code once no sanitizer
        complained."""
        if sig:
            os.kill(self.pid, sig)
        code = reap(self.pid)
        if self.foreground:
            self.proc.returncode = code
        self.pid = None
        if code == 0 and self.debug:
            self.wait_log("p2p daemon exit")  # all it wrote is in log() now
        for mark in SANITIZER_MARKS:
            assert mark not in self.stderr(), self.stderr()
        return code

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        if self.pid is not None:
            self.stop()  # not SIGKILL: coverage and leak checks need a real exit
        self.err.close()


def connect(addr="127.0.0.1", port=929, timeout=5.0):
    return socket.create_connection((addr, port), timeout=timeout)


def read_to_eof(sock, timeout=5.0):
    """Everything the peer sends until it closes the connection."""
    sock.settimeout(timeout)
    chunks = []
    while True:
        data = sock.recv(4096)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def request(text, port=929, timeout=5.0):
    """Sends one request; returns the answer (the daemon closes after it)."""
    with connect(port=port, timeout=timeout) as s:
        s.sendall(text.encode() if isinstance(text, str) else text)
        return read_to_eof(s, timeout).decode()


def port_answers(text):
    """request's answer, or None while nothing listens."""
    try:
        return request(text, timeout=1.0)
    except OSError:
        return None


def unanswered(sock):
    """Whether sock is still open with nothing to read."""
    sock.setblocking(False)
    try:
        sock.recv(1)
    except BlockingIOError:
        return True
    return False


def udp_sink(addr=("127.0.0.1", 3478)):
    """A STUN or name server that never answers: what it gets queues up."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(addr)
    return sock


def received(sock):
    """The (datagram, source) pairs queued on sock."""
    found = []
    while True:
        try:
            found.append(sock.recvfrom(2048, socket.MSG_DONTWAIT))
        except BlockingIOError:
            return found


def prepare_text(stun_url="127.0.0.1"):
    """A prepare_p2p request as libcloud sends it."""
    return json.dumps({"request": "prepare_p2p", "params": {
        "version": "1.0", "app_imp_version": 3, "stun_url": stun_url, "nat_type": 4,
        "peer_addr": {"pub_ip": "198.51.100.7", "pub_port": 40000,
                      "pri_ip": "192.168.1.20", "pri_port": 40001}}})


def prepare(stun_url="127.0.0.1"):
    """Prepares a session; its answer's result."""
    answer = json.loads(request(prepare_text(stun_url)))
    assert answer["error_code"] == 0, answer
    return answer["result"]


def tarnctl(*args):
    return subprocess.run([os.path.join(BIN, "tarnctl")] + list(args), capture_output=True,
                          text=True, timeout=30)


class Bus:
    """OpenWrt's ubusd on socket_path. The cloud_log and web_media stand-ins
    (on PATH) leave with it, as they exit when the bus goes away."""

    def __init__(self, socket_path=DEFAULT_SOCKET):
        self.socket_path = socket_path
        self.proc = None

    def answers(self):
        # Greeted from ubusd's loop: before that, a SIGTERM would be lost.
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(1.0)
            try:
                s.connect(self.socket_path)
                return len(s.recv(1)) == 1
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
    """The JSON reports cloud_log received, oldest first (one a line, with
    line breaks inside escaped)."""
    if not os.path.exists(path):
        return []
    return [json.loads(line.replace("\\n", "\n").replace("\\r", "\r"))
            for line in read_file(path).splitlines()]


def wait_reports(predicate=lambda r: True, count=1, timeout=30.0, path=CLOUD_LOG_FILE):
    """Waits until at least count reports satisfy predicate; returns them."""
    def found():
        hits = [r for r in reports(path) if predicate(r)]
        return hits if len(hits) >= count else None
    return wait_until(found, timeout, "%d report(s)" % count)
