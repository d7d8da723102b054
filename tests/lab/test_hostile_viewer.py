"""A hostile viewer: handed a session like any application, it punches as
tarn-peer does and then speaks UDT to tarn's punched socket by hand, with
handshakes no UDT peer sends (sizes that used to abort the whole process),
message-drop requests over the whole sequence space (seconds of CPU each)
and junk and truncated control packets, during and after the handshake.
Meanwhile an honest viewer streams from the media stand-in: tarn must stay
up, keep that stream flowing and spend a bounded share of a core on it all.
"""

import json
import re
import signal
import struct
import sys
import threading
import time
import unittest

from nat_lab import STUN_ADDRS, STUN_PORT
from roads import STUN, Lab, Road, start_device, start_media
from tarn_daemon import cpu_seconds, wait_until

KB = 1 << 10
RATE = 500 * KB  # the honest stream, bytes a second: camera-like, not a flood

# UDT control packet types.
HANDSHAKE, KEEPALIVE, ACK, NAK, WARNING, SHUTDOWN, ACK2, DROP, ERROR = range(9)
# Handshake fields: version, socket type, ISN, MSS, flight flag, request type,
# socket id, cookie, peer address (4 words).
HANDSHAKE_WORDS = struct.Struct("!12i")
OWN_ID = 0x2A2A2A  # the hostile viewer's UDT socket id
OWN_ISN = 1000
MSS = 1420
WINDOW = 25600

# Handshakes that would complete a rendezvous connection (request type -1,
# after one of type 0) with sizes no peer may impose, as (MSS, flight flag):
# those that cannot be used, then those that can once lowered to ours.
UNUSABLE = ((0, WINDOW), (20, WINDOW), (MSS, 0), (MSS, 1), (MSS, -1), (MSS, -(1 << 31)))
OVERSIZED = ((MSS, 1 << 30), (65535, WINDOW))


def control(kind, dest, info=0, words=(), tail=b""):
    """A UDT control packet: control bit and type, additional info, a zero
    time stamp and the destination socket, then payload words; all in network
    order, as UDT's channel converts them."""
    return struct.pack("!4I%dI" % len(words), 0x80000000 | kind << 16, info & 0xFFFFFFFF, 0,
                       dest, *(w & 0xFFFFFFFF for w in words)) + tail


def handshake(dest, req_type, mss=MSS, flight=WINDOW, own_id=OWN_ID):
    return control(HANDSHAKE, dest, words=(4, 1, OWN_ISN, mss, flight, req_type, own_id, 0,
                                           0, 0, 0, 0))


def data_packet(seq, dest):
    """A UDT data packet: sequence number, a solo message (number 9), time,
    socket."""
    return struct.pack("!4I", seq & 0x7FFFFFFF, 0xC0000009, 0, dest) + b"x" * 32


def parse_handshake(data):
    """The handshake fields of a UDT handshake packet, else None."""
    if len(data) < 64 or struct.unpack("!I", data[:4])[0] != 0x80000000:
        return None
    return HANDSHAKE_WORDS.unpack(data[16:64])


def junk_during_handshake(dest):
    """What a connecting socket must shrug off: short datagrams, truncated
    handshakes, control packets it has no use for yet."""
    return [b"\x80", b"\x80\x00\x00\x00\x00\x00", control(HANDSHAKE, dest)[:15],
            control(HANDSHAKE, dest),  # no handshake at all
            handshake(dest, -1, mss=20)[:16 + 20],  # cut inside the fields
            handshake(0, -1)[:40],
            control(ACK, dest, 1, (OWN_ISN,)), control(NAK, dest, 0, (0x80000000 | 5,)),
            control(DROP, dest, 1, (0, 0x7FFFFFFE)), control(0x7FFF, dest, 0, (1, 2, 3)),
            control(0x1234, 0, 0, (-1,) * 12)]


def junk_when_connected(dest, their_isn):
    """Control packets a connected socket must survive without breaking
    (cut, short, out of range), then the ones that may end the connection."""
    survivable = [
        b"\x80\x02", control(ACK, dest)[:12],  # cut inside the header
        control(ACK, dest, 7, (their_isn,))[:18],  # cut inside the payload
        control(ACK, dest, 7, (their_isn + (1 << 30),)),  # lite ACK beyond anything sent
        control(ACK, dest, 8, (their_isn, 1)),  # full ACK without RTT and window
        control(ACK, dest, 9, (their_isn, 100, 50, 1 << 30, 1 << 30, 1 << 30)),  # huge window
        control(ACK2, dest, -1), control(WARNING, dest), control(KEEPALIVE, dest),
        control(0x7FFF, dest, 0, (-1,)), control(0x4321, dest, 0, (1, 2)),
        control(DROP, dest, -1, (5,)),  # drop request without its last number
        control(DROP, dest, 3, (OWN_ISN + 10, OWN_ISN)),  # backwards
        data_packet(OWN_ISN + (1 << 29), dest),  # far beyond the receive window
        handshake(dest, -1, mss=20, flight=1 << 30), handshake(dest, -1, mss=0, flight=-1),
    ]
    ending = [control(NAK, dest, 0, (0x80000000 | their_isn,)),  # range without its end
              control(NAK, dest, 0, (their_isn + (1 << 30),)),  # loss of what was never sent
              control(ERROR, dest, 1000), control(SHUTDOWN, dest)]
    return survivable, ending


def udp_drops(pid, ports):
    """Datagrams the kernel dropped on pid's UDP sockets bound to ports."""
    with open("/proc/%d/net/udp" % pid) as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(int(row[-1]) for row in rows if int(row[1].split(":")[1], 16) in ports)


class Progress:
    """The honest tarn-peer's received byte count, from its progress lines,
    read on a thread so the count is current whenever the test asks."""

    def __init__(self, peer):
        self.received = 0
        self._peer = peer
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        for line in self._peer.stderr:
            match = re.search(r": (\d+) bytes received", line)
            if match:
                self.received = int(match.group(1))

    def wait_more(self, than, what):
        wait_until(lambda: self.received >= than, 30, what)

    def finish(self):
        """Stops tarn-peer (SIGINT: it closes and sums up); its exit status
        and summary."""
        self._peer.send_signal(signal.SIGINT)
        self._thread.join(30)
        out = self._peer.stdout.read()
        return self._peer.wait(30), json.loads(out.strip().splitlines()[-1])


class HostileViewer(Road):
    """A session prepared for one UDP socket in the application host that
    this test drives itself."""

    def __init__(self, lab):
        self.lab = lab
        self.stun = STUN
        self.sock = lab.socket("app")
        self.sock.bind(("0.0.0.0", 0))
        self.sock.settimeout(5)
        port = self.sock.getsockname()[1]
        self.public = self._stun_mapped()
        self.address = {"peer_pub": "%s:%d" % self.public,
                        "peer_pri": "%s:%d" % (lab.addr("app"), port)}
        text = self.prepare(4)
        result = json.loads(text)["result"]
        self.sid = result["sid"]
        dev = result["dev_addr"]
        fixed = dev["pri_port"] + 1000 if dev["pri_port"] <= 64535 else \
            (dev["pri_port"] + 1000) % 65536 + 49152
        self.device_ports = {dev["pri_port"], fixed}
        self.targets = {(dev["pub_ip"], dev["pub_port"]), (dev["pri_ip"], dev["pri_port"]),
                        (dev["pub_ip"], fixed)}
        self.device = None
        self.token = OWN_ID

    def _stun_mapped(self):
        """The viewer's public address, from a classic binding request."""
        tid = b"hostile-viewer!!"
        self.sock.sendto(struct.pack("!HH", 1, 0) + tid, (STUN_ADDRS[0], STUN_PORT))
        while True:
            data = self.sock.recv(2048)
            if data[4:20] == tid:
                break
        at = 20
        while at + 4 <= len(data):
            kind, size = struct.unpack("!HH", data[at:at + 4])
            if kind == 1:  # MAPPED-ADDRESS
                port, ip = struct.unpack("!H4s", data[at + 6:at + 12])
                return ".".join(str(b) for b in ip), port
            at += 4 + size
        raise AssertionError("no MAPPED-ADDRESS from coturn")

    def punch(self):
        """Probes as tarn-peer does (SYNs to the device's three addresses, an
        ACK for every probe) until tarn's UDT handshake comes from a source
        of probes; returns that handshake's fields."""
        sid = self.sid.encode()
        syn = sid + b"\0"
        ack = bytes([(sid[0] + 1) % 256]) + sid[1:] + b"\0"
        sources = set()
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            for target in self.targets:
                self.sock.sendto(syn, target)
            self.sock.settimeout(0.2)
            try:
                while True:
                    data, source = self.sock.recvfrom(2048)
                    if data in (syn, ack):
                        sources.add(source)
                        self.sock.sendto(ack, source)
                    elif source in sources and parse_handshake(data):
                        self.device = source
                        self.sock.settimeout(5)
                        return parse_handshake(data)
            except TimeoutError:
                pass
        raise AssertionError("no UDT handshake from tarn after punching")

    def send(self, datagrams):
        for data in datagrams:
            self.sock.sendto(data, self.device)

    def attack(self, tarn_id, datagrams, connected):
        """Sends datagrams two at a time, each two followed by a barrier:
        tarn's UDP receive buffer is 8 KB, and a burst would be cut short."""
        for at in range(0, len(datagrams), 2):
            self.send(datagrams[at:at + 2])
            if not self.barrier(tarn_id, connected):
                return False
        return True

    def barrier(self, tarn_id, connected):
        """Returns once tarn's UDT has handled everything sent before. A
        connecting socket sends its next handshake at once to the socket id
        of the last sane one it got; a connected one answers a handshake
        with one of request type -2. False when no answer comes within 5 s;
        the handshake is repeated meanwhile, in case it was lost."""
        self.token += 1
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            self.send([handshake(tarn_id, 0, own_id=self.token)])
            resend = time.monotonic() + 0.3
            while time.monotonic() < resend:
                self.sock.settimeout(max(resend - time.monotonic(), 0.001))
                try:
                    data, source = self.sock.recvfrom(2048)
                except TimeoutError:
                    break
                fields = parse_handshake(data)
                if source != self.device or not fields:
                    continue
                if (fields[5] == -2) if connected else \
                        (struct.unpack("!I", data[12:16])[0] == self.token):
                    return True
        return False


class HostileViewerTest(unittest.TestCase):
    def assert_up(self, lab, daemon, when):
        try:
            with open("/proc/%d/stat" % daemon.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            state = "gone"
        self.assertNotIn(state, ("Z", "X", "gone"), "tarn died %s:\n%s%s" % (
            when, daemon.log()[-1500:], daemon.stderr()))
        info = lab.run("dev", ["tarnctl", "info"])
        self.assertEqual(info.returncode, 0, "tarn does not answer %s" % when)

    def attack(self, lab, daemon, viewer, tarn_id, datagrams, connected, when):
        if not viewer.attack(tarn_id, datagrams, connected):
            self.assert_up(lab, daemon, when)
            self.fail("tarn's UDT stopped answering %s, after %.2f s of CPU in %.2f s:\n%s" % (
                (when,) + self.cost(daemon) + (daemon.log()[-3000:],)))

    def cost(self, daemon):
        """tarn's CPU time and the wall time since the attack began."""
        cpu = cpu_seconds(daemon.pid) - self.cpu_before
        return cpu, time.monotonic() - self.started

    def test_crafted_udt_leaves_tarn_and_the_other_stream_running(self):
        with Lab() as lab:
            start_media(lab, "--rate", str(RATE))
            daemon = start_device(lab)
            honest = Road(lab, "--verify", "--seconds", "300")
            progress = Progress(honest.peer)
            progress.wait_more(64 * KB, "the honest stream")

            viewer = HostileViewer(lab)
            theirs = viewer.punch()
            tarn_id, their_isn = theirs[6], theirs[2]
            self.cpu_before, self.started = cpu_seconds(daemon.pid), time.monotonic()

            # Handshake: one of type 0 makes tarn's next one final, so each
            # insane one would complete the connection with its sizes.
            viewer.send([handshake(0, 0)])
            self.attack(lab, daemon, viewer, tarn_id,
                        [handshake(tarn_id, -1, mss=mss, flight=flight) for mss, flight in UNUSABLE]
                        + junk_during_handshake(tarn_id), False, "during the handshake")
            # The first oversized one connects (lowered), the next one finds
            # the connection made.
            viewer.send([handshake(tarn_id, -1, mss=mss, flight=flight)
                         for mss, flight in OVERSIZED])
            daemon.wait_log("udt_connect OK, peer address: %s:%d" % viewer.public)

            # Connected: data past a gap leaves 4 numbers in tarn's loss list;
            # drop requests then name the whole sequence space around them
            # (each number of it a step, the list never empty), or all of it.
            survivable, ending = junk_when_connected(tarn_id, their_isn)
            self.attack(lab, daemon, viewer, tarn_id,
                        [data_packet(OWN_ISN + 4, tarn_id),
                         control(DROP, tarn_id, 1, (OWN_ISN + 4, OWN_ISN - 1)),
                         control(DROP, tarn_id, 2, (OWN_ISN + 4, OWN_ISN - 1)),
                         control(DROP, tarn_id, 3, (1, 0)),
                         control(DROP, tarn_id, 4, (0, 0x7FFFFFFE))] + survivable,
                        True, "when connected")
            # Every datagram reached UDT: none was dropped for want of room.
            self.assertEqual(udp_drops(daemon.pid, viewer.device_ports), 0)
            viewer.send(ending)
            self.assert_up(lab, daemon, "after the connected attack")

            # The honest stream goes on after it all.
            progress.wait_more(progress.received + 256 * KB, "the honest stream after the attack")
            cpu, wall = self.cost(daemon)
            sys.stderr.write("tarn: %.2f s of CPU in %.2f s of attack\n" % (cpu, wall))
            # A cost bound, generous on purpose: one drop request over the
            # whole space cost an unpatched UDT over a second of CPU.
            self.assertLess(cpu, 0.5 * wall, "tarn spent %.2f s of CPU in %.2f s" % (cpu, wall))

            status, summary = progress.finish()
            self.assertEqual((status, summary["pattern_errors"]), (0, 0), summary)
            self.assertEqual(daemon.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
