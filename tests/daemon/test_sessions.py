"""Sessions in the real daemon without a NAT: slots, clean-up, failures of
the public-address query and their reports, share notices to web_media,
with ubusd and the service stand-ins in the sandbox. The STUN server is a
silent UDP socket of the test's own that records what reaches it."""

import json
import os
import re
import signal
import socket
import subprocess
import threading
import unittest

from tarn_daemon import (BIN, DEFAULT_SOCKET, INFO, INFO_ANSWER, LEGACY_SOCKET, Bus, Daemon,
                         connect, network_config, prepare_text, read_file, read_to_eof, reap, request,
                         set_device_mac, wait_reports, wait_until, write_uci)

NOTICES = "/var/log/web_media.log"


def prepare_session(stun_url="127.0.0.1"):
    answer = json.loads(request(prepare_text(stun_url)))
    assert answer["error_code"] == 0, answer
    return answer["result"]["sid"]


class SilentStun:
    """A STUN server that never answers: records (datagram, source)."""

    def __init__(self, addr=("127.0.0.1", 3478)):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(addr)
        self.received = []
        self.running = True
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        while True:
            datagram = self.sock.recvfrom(2048)
            if not self.running:
                return
            self.received.append(datagram)

    def close(self):
        self.running = False
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"", self.sock.getsockname())  # wakes the thread
        self.thread.join()
        self.sock.close()


def session_socket_port(addr="127.0.0.1"):
    """Port of tarn's one UDP socket bound to addr (not 0.0.0.0)."""
    out = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    (port,) = re.findall(r"%s:(\d+)\s.*\"tarn\"" % re.escape(addr), out)
    return int(port)


def clean_and_report(sid):
    """Ends every session; the report of sid as cloud_log received it."""
    with connect() as s:
        s.sendall(b'{"request":"do_tarn_clean"}')
        return wait_reports(lambda r: r.get("sessionID") == sid)[0]


class Sessions(unittest.TestCase):
    def setUp(self):
        set_device_mac()
        self.enterContext(Bus())
        self.stun = SilentStun()
        self.addCleanup(self.stun.close)
        self.daemon = self.enterContext(Daemon())

    def test_silent_server_gets_nine_requests_then_the_session_fails(self):
        answer = json.loads(request(prepare_text("127.0.0.1:5000")))
        # Not ready after the prepare timer: only the session id.
        self.assertEqual(list(answer["result"]), ["sid", "is_ready"])
        self.assertEqual(answer["result"]["is_ready"], 0)
        sid = answer["result"]["sid"]
        self.assertRegex(sid, r"^001122aabbcc-\d{10}-[0-9A-Za-z]{16}$")
        # The session's socket is bound to the WAN address (lo's here); the
        # NAT-type worker's sockets, which query the same server, are not.
        port = session_socket_port()
        report = wait_reports(lambda r: r.get("sessionID") == sid)[0]
        self.assertEqual((report["errorCode"], report["stage"]), (-52010, 1))
        # The URL's port is ignored: all went to 3478, each a 28-byte Binding Request.
        mine = [data for data, src in self.stun.received if src[1] == port]
        self.assertEqual([(len(d), d[:2]) for d in mine], [(28, b"\x00\x01")] * 9)
        # The resolved server is remembered for the next start.
        self.assertEqual(read_file("/etc/tarn.conf"), "STUN_HOST=[127.0.0.1]\n")

    def test_unresolvable_name_fails_the_session_unanswered(self):
        # The sandbox has no name server: the resolver fails before the
        # prepare timer, so the session ends without an answer.
        with connect() as s:
            s.sendall(prepare_text("stun.name.invalid").encode())
            report = wait_reports(lambda r: r.get("errorCode") == -52009)[0]
            self.daemon.wait_log("remove ev_timeout.", count=2)
            s.setblocking(False)
            self.assertRaises(BlockingIOError, s.recv, 1)
        self.assertEqual(report["stage"], 1)
        self.assertIn("dns resolve error", self.daemon.log())

    def test_thirty_third_session_is_refused_and_clean_frees_all(self):
        conns = [connect() for _ in range(32)]
        for s in conns:
            s.sendall(prepare_text("127.0.0.1").encode())
        # The listener's backlog is 5: on a loaded machine the last connects
        # wait for the kernel's SYN retries.
        self.daemon.wait_log("prepare p2p end", count=32, timeout=60)
        self.assertEqual(request(prepare_text("127.0.0.1")),
                         '{"error_code":24,"error_msg":"no idle sess is available"}')
        sids = []
        for s in conns:
            with s:
                sids.append(json.loads(read_to_eof(s))["result"]["sid"])
        self.assertEqual(len(set(sids)), 32)
        refused = wait_reports(lambda r: r.get("errorCode") == 24)[0]
        self.assertEqual((refused["stage"], refused["appImpVersion"]), (1, 0))
        self.assertNotIn("sessionID", refused)
        # is_p2p_ready still finds the 32.
        for sid in sids[::8]:
            ready = json.loads(request(json.dumps(
                {"request": "is_p2p_ready", "params": {"sid": sid}})))
            self.assertEqual(ready["result"], {"sid": sid, "is_ready": 0})

        self.assertEqual(clean_and_report(sids[0])["errorCode"], -52015)
        cleaned = wait_reports(lambda r: r.get("sessionID") in sids, count=32)
        self.assertEqual({r["errorCode"] for r in cleaned}, {-52015})
        prepare_session()  # a slot is free again

    def test_sigterm_reports_every_live_session(self):
        sids = {prepare_session() for _ in range(3)}
        self.assertEqual(self.daemon.stop(signal.SIGTERM), 0)
        ended = wait_reports(lambda r: r.get("sessionID") in sids, count=3)
        self.assertEqual({r["errorCode"] for r in ended}, {-52015})

    def test_stun_host_flipping_is_written_seldom_and_the_last_one_wins(self):
        # Each write is a new file renamed over the old one: count the files.
        written = set()
        changes = self.daemon.log().count("stun host changed")
        for i in range(10):
            prepare_session("127.0.0.%d" % (3 + i % 2))
            self.daemon.wait_log("stun host changed", count=changes + i + 1)
            written.add(os.stat("/etc/tarn.conf").st_ino)
        self.assertLessEqual(len(written), 2)
        wait_until(lambda: read_file("/etc/tarn.conf") == "STUN_HOST=[127.0.0.4]\n",
                   what="the last host in tarn.conf")

    def test_answer_is_dropped_when_libcloud_hung_up(self):
        with connect() as s:
            s.sendall(prepare_text("127.0.0.1").encode())
        self.daemon.wait_log("answer dropped")
        self.assertEqual(request(INFO), INFO_ANSWER)


class WanDevice(unittest.TestCase):
    """The WAN device is a veth with a known MAC and address in the sandbox's
    own network namespace."""
    WAN, MAC, ADDR = "wan0", "02:5a:00:00:00:07", "192.0.2.7"

    def test_wan_address_and_mac_in_either_layout(self):
        for argv in (["link", "add", self.WAN, "address", self.MAC, "type", "veth", "peer",
                      "name", self.WAN + "p"], ["addr", "add", self.ADDR + "/24", "dev", self.WAN],
                     ["link", "set", self.WAN, "up"]):
            subprocess.run(["ip"] + argv, check=True)
        stun = SilentStun((self.ADDR, 3478))
        self.addCleanup(stun.close)
        with Bus():
            for layout, uci_mac, sid_mac in [  # layout, MAC in uci, MAC in the session id
                    ("legacy", "00:11:22:aa:bb:cc", "001122aabbcc"),  # uci's MAC comes first
                    ("legacy", None, "025a00000007"),                 # else the device's own
                    ("current", self.MAC, "025a00000007"),            # only in a config device
                    ("current", None, "025a00000007")]:               # only on the device
                with self.subTest(layout=layout, uci_mac=uci_mac):
                    write_uci("network", network_config(self.WAN, uci_mac, layout))
                    with Daemon() as d:
                        sid = prepare_session(self.ADDR)
                        self.assertRegex(sid, r"^%s-\d{10}-[0-9A-Za-z]{16}$" % sid_mac)
                        # The session's STUN socket is bound to the WAN address.
                        src = (self.ADDR, session_socket_port(self.ADDR))
                        wait_until(lambda: any(s == src for _, s in stun.received),
                                   what="a request from the WAN address")
                        self.assertEqual(clean_and_report(sid)["errorCode"], -52015)
                        self.assertNotIn("read local ifname error", d.log())
                        self.assertEqual(d.stop(), 0)


def share(daemon, line):
    """Sends the share action; waits for line and the connection's end,
    which no answer precedes."""
    closed = daemon.log().count("connection closed")
    before = daemon.log().count(line)
    with connect() as s:
        s.sendall(b'{"action":"share"}')
        daemon.wait_log(line, count=before + 1)
        s.setblocking(False)
        try:
            s.recv(1)
            raise AssertionError("the share action was answered")
        except BlockingIOError:
            pass
    daemon.wait_log("connection closed", count=closed + 1)


def notices():
    return read_file(NOTICES).splitlines() if os.path.exists(NOTICES) else []


class Services(unittest.TestCase):
    def setUp(self):
        set_device_mac()

    def test_reports_and_share_notices_on_either_socket(self):
        for path in (LEGACY_SOCKET, DEFAULT_SOCKET):
            with self.subTest(socket=path):
                with Bus(path), Daemon() as d:
                    subprocess.run([os.path.join(BIN, "web_media"), "-p", "/run/wm.pid"],
                                   check=True)
                    share(d, "start to notify web_media. ")
                    wait_until(lambda: notices() == ["{}"], what="the first notice")
                    # Each notice closes its own bus connection again.
                    fds = d.open_fds()
                    share(d, "start to notify web_media. ")
                    wait_until(lambda: notices() == ["{}", "{}"], what="the second notice")
                    self.assertEqual(d.open_fds(), fds)
                    # tarn starts cloud_log, which finds the same bus.
                    self.assertEqual(clean_and_report(prepare_session())["errorCode"], -52015)
                    self.assertNotIn("failed", d.log())
                    self.assertEqual(d.stop(), 0)
                # The stand-in leaves with the bus.
                self.assertEqual(reap(int(read_file("/run/wm.pid"))), 0)
                os.unlink(NOTICES)

    def test_missing_bus_or_service_is_logged(self):
        with Daemon() as d:
            share(d, "connect to ubusd failed!")
            with Bus():
                share(d, "ubus lookup id web_media failed.")
            self.assertEqual(notices(), [])
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
