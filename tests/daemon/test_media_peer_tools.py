"""tarn-media (the media-server stand-in) and tarn-peer's input side, on the
sandbox's loopback. tarn-peer's punch and UDT side is tested against a device
stand-in in tests/unit/test_tarn_peer.cpp, and with the real daemon in the lab.
"""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

from tarn_daemon import wait_until

BIN = os.environ.get("TARN_BIN", "")
K = 2654435761


def pattern(start, n):
    """The documented stream: byte i is the top byte of i * 2654435761 mod 2^32."""
    return bytes(((i * K) & 0xFFFFFFFF) >> 24 for i in range(start, start + n))


def read_exactly(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(min(65536, n - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


class Media:
    """tarn-media on a free loopback port, its JSON lines read as they come."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([os.path.join(BIN, "tarn-media"), "-p", "0", *args],
                                     stdout=subprocess.PIPE, text=True)
        first = json.loads(self.proc.stdout.readline())
        assert first["event"] == "listening", first
        self.port = first["port"]

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=10)

    def next_event(self):
        line = self.proc.stdout.readline()
        return json.loads(line) if line else None

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        rest = [json.loads(l) for l in self.proc.stdout.read().splitlines()]
        return self.proc.wait(timeout=10), rest

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


class MediaStandIn(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.record = os.path.join(self.tmp, "recv.bin")
        self.media = Media("-o", self.record)
        self.addCleanup(self.media.close)
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_every_connection_gets_the_pattern_from_offset_zero(self):
        with self.media.connect() as a, self.media.connect() as b:
            # Interleaved reads: each connection has its own offset.
            got_a = read_exactly(a, 70000)
            got_b = read_exactly(b, 300000)
            got_a += read_exactly(a, 230000)
        self.assertEqual(got_a, pattern(0, 300000))
        self.assertEqual(got_b, pattern(0, 300000))

    def test_records_what_connections_send_exactly(self):
        first = os.urandom(200000)
        second = bytes(range(256)) * 1000
        for n, data in ((1, first), (2, second)):
            with self.media.connect() as s:
                s.sendall(data)
                s.shutdown(socket.SHUT_WR)
                event = self.media.next_event()
            self.assertEqual(event["event"], "closed")
            self.assertEqual(event["conn"], n)
            self.assertEqual(event["recv"], len(data))
            self.assertEqual(event["recv_crc32"], zlib.crc32(data))
        status, events = self.media.stop()
        self.assertEqual(status, 0)
        self.assertEqual(events[-1]["event"], "exit")
        self.assertEqual(events[-1]["connections"], 2)
        self.assertEqual(events[-1]["recv"], len(first) + len(second))
        self.assertEqual(events[-1]["recv_crc32"], zlib.crc32(first + second))
        with open(self.record, "rb") as f:
            self.assertEqual(f.read(), first + second)

    def test_peer_reset_and_sigterm_with_open_connections(self):
        with self.media.connect() as s:
            read_exactly(s, 1000)
            # Close with unread data and a zero linger: the server sees a reset.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        event = self.media.next_event()
        self.assertEqual((event["event"], event["conn"]), ("closed", 1))
        # Still serving, and what a reader took is what "sent" says.
        held = self.media.connect()
        self.addCleanup(held.close)
        held.sendall(b"GET /live\r\n")
        self.assertEqual(read_exactly(held, 5000), pattern(0, 5000))
        status, events = self.media.stop()
        self.assertEqual(status, 0)
        closed, last = events[0], events[-1]
        self.assertEqual((closed["event"], closed["conn"], closed["recv"]), ("closed", 2, 11))
        self.assertGreaterEqual(closed["sent"], 5000)
        self.assertEqual((last["event"], last["connections"]), ("exit", 2))
        with open(self.record, "rb") as f:
            self.assertEqual(f.read(), b"GET /live\r\n")

    def test_rate_limits_the_stream(self):
        rate = Media("--rate", "20000")
        self.addCleanup(rate.close)
        start = time.monotonic()
        with rate.connect() as s:
            self.assertEqual(read_exactly(s, 6000), pattern(0, 6000))
            s.shutdown(socket.SHUT_WR)
            event = rate.next_event()
        elapsed = time.monotonic() - start
        # An upper bound only: a slow machine sends less, never more. Without
        # the limit the server queues 256 KB at once.
        self.assertLessEqual(event["sent"], 20000 * elapsed + 2000 + 1)
        self.assertGreaterEqual(event["sent"], 6000)
    def test_close_after_ends_the_stream_but_keeps_reading(self):
        short = Media("--close-after", "100000")
        self.addCleanup(short.close)
        with short.connect() as s:
            self.assertEqual(read_exactly(s, 200000), pattern(0, 100000))  # then end of stream
            s.sendall(b"still heard")
            s.shutdown(socket.SHUT_WR)
            event = short.next_event()
        self.assertEqual((event["sent"], event["recv"]), (100000, 11))


GOOD = {"error_code": 0, "result": {
    "dev_addr": {"pub_ip": "127.0.0.1", "pub_port": 40000, "pri_ip": "127.0.0.1",
                 "pri_port": 40000},
    "sid": "0011223344aa-1764950000-AbCdEfGhIjKlMnOp", "nat_type": 2, "is_ready": 1}}


def answer(addr=None, **result):
    """GOOD with members of dev_addr (addr) and of result changed; a value of
    None deletes the member."""
    a = json.loads(json.dumps(GOOD))
    for target, changes in ((a["result"]["dev_addr"], addr or {}), (a["result"], result)):
        for name, value in changes.items():
            if value is None:
                del target[name]
            else:
                target[name] = value
    return json.dumps(a)


class PeerInput(unittest.TestCase):
    def run_peer(self, line, *args):
        """tarn-peer fed line after its address line: (exit status, address, stderr)."""
        proc = subprocess.Popen([os.path.join(BIN, "tarn-peer"), "--bind", "127.0.0.1",
                                 "--punch-timeout", "0.2", *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        address = json.loads(proc.stdout.readline())
        out, err = proc.communicate(line, timeout=30)
        return proc.returncode, address, out, err

    def test_malformed_answers_are_refused(self):
        cases = [
            ("", "no answer line"),
            ("hello\n", "not a JSON object"),
            ('[1,2]\n', "not a JSON object"),
            ('{"error_code":21,"error_msg":"no sess with this sid"}\n', "error_code 21"),
            ('{"result":{}}\n', "no error_code"),
            ('{"error_code":0}\n', "no result"),
            (answer(dev_addr=None), "no dev_addr"),
            (answer(sid=None), "no sid"),
            (answer(sid=""), "no sid"),
            (answer(sid="s" * 600), "sid longer than 511"),
            (answer({"pub_ip": "1.2.3"}), "no IPv4 address in pub_ip"),
            (answer({"pri_ip": None}), "no IPv4 address in pri_ip"),
            (answer({"pub_port": 0}), "no port number in pub_port"),
            (answer({"pri_port": 70000}), "no port number in pri_port"),
            (answer({"pub_port": "40000"}), "no port number in pub_port"),
            (answer({"pub_port": 400.5}), "no port number in pub_port"),
            ("x" * 10000 + "\n", "answer line too long"),
        ]
        for line, why in cases:
            with self.subTest(line=line[:60]):
                status, _, out, err = self.run_peer(line)
                self.assertEqual(status, 2)
                self.assertIn(why, err)
                self.assertEqual(out, "", "no summary before punching starts")

    def test_a_good_answer_starts_punching(self):
        # Toward a socket that never answers: the answer was taken, the punch
        # times out, and the summary says so.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dev:
            dev.bind(("127.0.0.1", 0))
            port = dev.getsockname()[1]
            dev.settimeout(10)
            status, _, out, err = self.run_peer(answer({"pub_port": port, "pri_port": port}))
            syn, _ = dev.recvfrom(2048)
        self.assertEqual(syn, GOOD["result"]["sid"].encode() + b"\0")
        self.assertEqual(status, 4)
        self.assertEqual(json.loads(out)["end"], "punch-timeout")
        self.assertIn("punch timed out", err)

def binding_request():
    return struct.pack("!HH", 1, 0) + os.urandom(16)


class PeerStun(unittest.TestCase):
    def test_no_answer_from_the_stun_server(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
            silent.bind(("127.0.0.1", 0))
            silent.settimeout(10)
            proc = subprocess.run([os.path.join(BIN, "tarn-peer"), "--stun",
                                   "127.0.0.1:%d" % silent.getsockname()[1],
                                   "--stun-timeout", "0.5"],
                                  input="", capture_output=True, text=True, timeout=30)
            request, _ = silent.recvfrom(2048)
            repeats = 1
            silent.setblocking(False)
            while True:
                try:
                    silent.recvfrom(2048)
                    repeats += 1
                except BlockingIOError:
                    break
        self.assertEqual(proc.returncode, 3)
        self.assertIn("no answer from STUN server", proc.stderr)
        self.assertEqual(proc.stdout, "")
        # The classic 28-byte Binding Request (header and CHANGE-REQUEST), re-sent.
        self.assertEqual(len(request), 28)
        self.assertEqual(request[:4], b"\x00\x01\x00\x08")
        self.assertGreater(repeats, 1)

    @unittest.skipUnless(shutil.which("turnserver"), "coturn is not installed")
    def test_public_address_from_coturn(self):
        state = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, state)
        server = subprocess.Popen(
            ["turnserver", "-n", "-S", "-L", "127.0.0.1", "--listening-port", "3478",
             "--no-cli", "--no-tls", "--no-dtls", "--no-tcp", "--log-file", "stdout",
             "--simple-log", "--pidfile", state + "/turnserver.pid", "--db", state + "/turndb"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.settimeout(0.05)

            def answers():
                probe.sendto(binding_request(), ("127.0.0.1", 3478))
                try:
                    return probe.recv(2048)
                except socket.timeout:
                    return None
            wait_until(answers, 15, "coturn on 127.0.0.1:3478")
        proc = subprocess.Popen([os.path.join(BIN, "tarn-peer"), "--stun", "127.0.0.1",
                                 "--port", "45679"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        address = json.loads(proc.stdout.readline())
        proc.communicate("", timeout=30)
        # On loopback the mapped address is the socket's own.
        self.assertEqual(address["peer_pub"], "127.0.0.1:45679")
        self.assertEqual(address["peer_pri"], "127.0.0.1:45679")


if __name__ == "__main__":
    unittest.main()
