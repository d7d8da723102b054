"""The device as OpenWrt has it since 21.02 and as the spec has it: the WAN
device and MAC in either /etc/config/network layout (read through libuci and
OpenWrt's `uci` command), and ubusd on either socket path. The WAN device is a
veth with a known MAC and address in the sandbox's own network namespace."""

import json
import re
import subprocess
import unittest

from tarn_daemon import (DEFAULT_SOCKET, LEGACY_SOCKET, Bus, Daemon, connect, network_config,
                         request, set_device_mac, wait_reports, wait_until, write_uci)
from test_sessions import SilentStun, prepare_text

WAN, WAN_MAC, WAN_ADDR = "wan0", "02:5a:00:00:00:07", "192.0.2.7"
WEB_MEDIA_LOG = "/var/log/web_media.log"


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True)


def bound_port(addr):
    """Port of the one UDP socket of tarn bound to addr."""
    out = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    ports = re.findall(r"%s:(\d+)\s.*\"tarn\"" % re.escape(addr), out)
    return int(ports[0]) if len(ports) == 1 else None


def prepare(stun):
    answer = json.loads(request(prepare_text(stun)))
    assert answer["error_code"] == 0, answer
    return answer["result"]["sid"]


def clean_and_report(sid):
    """Ends every session; the report of sid as cloud_log received it."""
    with connect() as s:
        s.sendall(b'{"request":"do_tarn_clean"}')
        (report,) = wait_reports(lambda r: r.get("sessionID") == sid)
    return report


class WanLayouts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ip("link", "add", WAN, "address", WAN_MAC, "type", "veth", "peer", "name", WAN + "p")
        ip("addr", "add", WAN_ADDR + "/24", "dev", WAN)
        ip("link", "set", WAN + "p", "up")
        ip("link", "set", WAN, "up")

    def test_wan_address_and_mac_in_either_layout(self):
        # (layout, MAC in uci, MAC in the session id)
        table = [
            ("legacy", "00:11:22:aa:bb:cc", "001122aabbcc"),  # the spec's option wins
            ("legacy", None, "025a00000007"),                 # else the device's own
            ("current", WAN_MAC, "025a00000007"),             # only in a config device
            ("current", None, "025a00000007"),                # only on the device
        ]
        stun = SilentStun((WAN_ADDR, 3478))
        self.addCleanup(stun.close)
        with Bus():
            for layout, uci_mac, sid_mac in table:
                with self.subTest(layout=layout, uci_mac=uci_mac):
                    write_uci("network", network_config(WAN, uci_mac, layout))
                    with Daemon() as d:
                        sid = prepare(WAN_ADDR)
                        self.assertRegex(sid, r"^%s-\d{10}-[0-9A-Za-z]{16}$" % sid_mac)
                        # The session's STUN socket is bound to the WAN address.
                        port = wait_until(lambda: bound_port(WAN_ADDR), what="the STUN socket")
                        wait_until(lambda: any(src == (WAN_ADDR, port)
                                               for _, _, src in stun.received),
                                   what="a request from the WAN address")
                        self.assertEqual(clean_and_report(sid)["errorCode"], -52015)
                        self.assertNotIn("read local ifname error", d.log())
                        self.assertEqual(d.stop(), 0)


class BusSockets(unittest.TestCase):
    def test_report_and_share_notice_on_either_socket(self):
        set_device_mac("00:11:22:aa:bb:cc")
        for path in (LEGACY_SOCKET, DEFAULT_SOCKET):
            with self.subTest(socket=path), Bus(path), Daemon() as d:
                # tarn starts cloud_log, which finds the same bus.
                sid = prepare("127.0.0.1")
                self.assertEqual(clean_and_report(sid)["errorCode"], -52015)
                subprocess.run(["web_media", "-o", WEB_MEDIA_LOG], check=True)
                with connect() as s:
                    s.sendall(b'{"action":"share"}')
                    d.wait_log("start to notify web_media. ")
                wait_until(lambda: open(WEB_MEDIA_LOG).read() == "{}\n", what="the notice")
                self.assertNotIn("failed", d.log())
                self.assertEqual(d.stop(), 0)
            open(WEB_MEDIA_LOG, "w").close()


if __name__ == "__main__":
    unittest.main()
