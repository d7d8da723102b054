"""Sessions in the real daemon without a NAT: slots, clean-up, failures of
the public-address query and their reports, share notices to web_media,
with ubusd and the service stand-ins in the sandbox. The STUN server is a
UDP socket of the test's own that never answers."""

import json
import os
import re
import struct
import subprocess
import unittest

from tarn_daemon import (BIN, INFO, INFO_ANSWER, Bus, Daemon, connect, prepare, prepare_text,
                         read_file, read_to_eof, received, request, set_device_mac, udp_sink,
                         unanswered, wait_reports, wait_until)

NOTICES = "/var/log/web_media.log"


def session_socket_port(addr="127.0.0.1"):
    """Port of tarn's one UDP socket bound to addr (not 0.0.0.0)."""
    out = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    (port,) = re.findall(r"%s:(\d+)\s.*\"tarn\"" % re.escape(addr), out)
    return int(port)


def lie(tid):
    """A Binding Response to tid mapping 6.6.6.6:666."""
    return struct.pack("!HH", 0x0101, 12) + tid + bytes.fromhex("000100080001029a06060606")


def clean_and_report(sid):
    """Ends every session; the report of sid as cloud_log received it."""
    with connect() as s:
        s.sendall(b'{"request":"do_tarn_clean"}')
        return wait_reports(lambda r: r.get("sessionID") == sid)[0]


class Sessions(unittest.TestCase):
    def setUp(self):
        set_device_mac()
        self.enterContext(Bus())
        self.stun = self.enterContext(udp_sink())
        self.daemon = self.enterContext(Daemon())

    def test_junk_from_the_server_is_ignored_and_the_session_fails(self):
        answer = json.loads(request(prepare_text("127.0.0.1:5000")))
        # Not ready after the prepare timer: only the session id.
        self.assertEqual(list(answer["result"]), ["sid", "is_ready"])
        self.assertEqual(answer["result"]["is_ready"], 0)
        sid = answer["result"]["sid"]
        self.assertRegex(sid, r"^001122aabbcc-\d{10}-[0-9A-Za-z]{16}$")
        # The session's socket is bound to the WAN address (lo's here); the
        # NAT-type worker's sockets, which query the same server, are not.
        port = session_socket_port()
        # Junk a lying server or a stranger sends: a mapping under another
        # id, a truncated one, and the right id from another port. None of
        # it is an answer, and none of it ends the session early.
        requests = []

        def mine():
            requests.extend(d for d, src in received(self.stun) if src[1] == port)
            return requests
        tid = wait_until(mine)[0][4:20]
        for data in (lie(os.urandom(16)), lie(tid)[:30]):
            self.stun.sendto(data, ("127.0.0.1", port))
        with udp_sink(("127.0.0.1", 0)) as stranger:
            stranger.sendto(lie(tid), ("127.0.0.1", port))
        report = wait_reports(lambda r: r.get("sessionID") == sid)[0]
        self.assertEqual((report["errorCode"], report["stage"]), (-52010, 1))
        # The URL's port is ignored: all went to 3478, each a 28-byte Binding Request.
        self.assertEqual([(len(d), d[:2], d[4:20]) for d in mine()], [(28, b"\x00\x01", tid)] * 9)
        # The resolved server is remembered for the next start.
        self.assertEqual(read_file("/etc/tarn.conf"), "STUN_HOST=[127.0.0.1]\n")

    def test_unresolvable_name_fails_the_session_unanswered(self):
        # The sandbox has no name server: the resolver fails before the
        # prepare timer, so the session ends without an answer.
        with connect() as s:
            s.sendall(prepare_text("stun.name.invalid").encode())
            report = wait_reports(lambda r: r.get("errorCode") == -52009)[0]
            self.assertTrue(unanswered(s))
        self.assertEqual(report["stage"], 1)

    def test_thirty_third_session_is_refused_and_clean_frees_all(self):
        # One at a time: the listener's backlog is 5, and a burst of 32 leaves
        # the overflow to the kernel's retries, seconds apart.
        conns = []
        for i in range(32):
            conns.append(self.enterContext(connect()))
            conns[-1].sendall(prepare_text().encode())
            self.daemon.wait_log("prepare p2p end", count=i + 1)
        self.assertEqual(request(prepare_text()),
                         '{"error_code":24,"error_msg":"no idle sess is available"}')
        sids = []
        for s in conns:
            with s:
                sids.append(json.loads(read_to_eof(s))["result"]["sid"])
        self.assertEqual(len(set(sids)), 32)
        refused = wait_reports(lambda r: r.get("errorCode") == 24)[0]
        self.assertEqual((refused["stage"], refused["appImpVersion"]), (1, 0))
        self.assertNotIn("sessionID", refused)
        # is_p2p_ready still finds them.
        ready = request(json.dumps({"request": "is_p2p_ready", "params": {"sid": sids[31]}}))
        self.assertEqual(json.loads(ready)["result"], {"sid": sids[31], "is_ready": 0})

        self.assertEqual(clean_and_report(sids[0])["errorCode"], -52015)
        cleaned = wait_reports(lambda r: r.get("sessionID") in sids, count=32)
        self.assertEqual({r["errorCode"] for r in cleaned}, {-52015})
        # cloud_log was started for the first report only. A slow start (a
        # loaded sanitizer build) outlasts the ten lookups after it; the
        # retry then finds it without starting it again.
        log = self.daemon.log()
        self.assertEqual(log.count("start cloud_log successfully")
                         + log.count("error: failed to run cloud_log."), 1)
        prepare()  # a slot is free again

    def test_stun_host_flipping_is_written_seldom_and_the_last_one_wins(self):
        # Each write is a new file renamed over the old one: count the files.
        written = set()
        changes = self.daemon.log().count("stun host changed")
        for i in range(10):
            prepare("127.0.0.%d" % (3 + i % 2))
            self.daemon.wait_log("stun host changed", count=changes + i + 1)
            written.add(os.stat("/etc/tarn.conf").st_ino)
        self.assertLessEqual(len(written), 2)
        wait_until(lambda: read_file("/etc/tarn.conf") == "STUN_HOST=[127.0.0.4]\n",
                   what="the last host in tarn.conf")

    def test_share_notices_reach_web_media_each_on_its_own_connection(self):
        subprocess.run([os.path.join(BIN, "web_media")], check=True)
        share(self.daemon, "start to notify web_media. ")
        wait_until(lambda: notices() == ["{}"], what="the first notice")
        fds = self.daemon.open_fds()
        for _ in range(3):
            share(self.daemon, "start to notify web_media. ")
        wait_until(lambda: len(notices()) == 4, what="three more notices")
        wait_until(lambda: self.daemon.open_fds() <= fds, what="the bus connections to close")
        # tarn starts cloud_log, which finds the same bus.
        self.assertEqual(clean_and_report(prepare()["sid"])["errorCode"], -52015)
        self.assertNotIn("failed", self.daemon.log())

    def test_answer_is_dropped_when_libcloud_hung_up(self):
        with connect() as s:
            s.sendall(prepare_text().encode())
        self.daemon.wait_log("answer dropped")
        self.assertEqual(request(INFO), INFO_ANSWER)


def share(daemon, line):
    """Sends the share action; waits for line and for the connection's end,
    which no answer precedes."""
    closed, before = daemon.log().count("connection closed"), daemon.log().count(line)
    with connect() as s:
        s.sendall(b'{"action":"share"}')
        daemon.wait_log(line, count=before + 1)
        assert unanswered(s)
    daemon.wait_log("connection closed", count=closed + 1)


def notices():
    return read_file(NOTICES).splitlines() if os.path.exists(NOTICES) else []


if __name__ == "__main__":
    unittest.main(verbosity=2)
