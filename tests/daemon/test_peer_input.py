"""tarn-peer's answer line: whatever the cloud agent hands over, tarn-peer
refuses what is not a usable device answer (status 2, one reason) before it
punches, and punches toward a usable one. Its punch and UDT side runs with the
real daemon in the lab."""

import json
import os
import socket
import subprocess
import unittest

from tarn_daemon import BIN

SID = "0011223344aa-1764950000-AbCdEfGhIjKlMnOp"


def answer(port=40000, **changes):
    """A ready answer toward 127.0.0.1:port; changes replace (None: delete)
    members of result or, by their names, of dev_addr."""
    result = {"dev_addr": {"pub_ip": "127.0.0.1", "pub_port": port, "pri_ip": "127.0.0.1",
                           "pri_port": port}, "sid": SID, "nat_type": 2, "is_ready": 1}
    for name, value in changes.items():
        target = result["dev_addr"] if name in result["dev_addr"] else result
        if value is None:
            del target[name]
        else:
            target[name] = value
    return json.dumps({"error_code": 0, "result": result}) + "\n"


def run_peer(line):
    """(exit status, summary, standard error) of tarn-peer fed line."""
    proc = subprocess.run([os.path.join(BIN, "tarn-peer"), "--bind", "127.0.0.1",
                           "--punch-timeout", "0.2"], input=line, capture_output=True,
                          text=True, timeout=30)
    return proc.returncode, proc.stdout.splitlines()[1:], proc.stderr


class PeerInput(unittest.TestCase):
    def test_unusable_answers_are_refused(self):
        for line, why in [
                ("", "no answer line"), ("hello\n", "not a JSON object"),
                ("[1,2]\n", "not a JSON object"), ("x" * 10000 + "\n", "answer line too long"),
                ('{"error_code":21,"error_msg":"no sess with this sid"}\n', "error_code 21"),
                ('{"result":{}}\n', "no error_code"), ('{"error_code":0}\n', "no result"),
                (answer(dev_addr=None), "no dev_addr"), (answer(sid=""), "no sid"),
                (answer(sid="s" * 600), "sid longer than 511"),
                (answer(pub_ip="1.2.3"), "no IPv4 address in pub_ip"),
                (answer(pri_ip=None), "no IPv4 address in pri_ip"),
                (answer(pub_port=0), "no port number in pub_port"),
                (answer(pri_port=70000), "no port number in pri_port"),
                (answer(pub_port="40000"), "no port number in pub_port"),
                (answer(pub_port=400.5), "no port number in pub_port")]:
            with self.subTest(line=line[:60]):
                status, summary, err = run_peer(line)
                self.assertEqual((status, summary), (2, []))  # no summary: no punch began
                self.assertIn(why, err)

    def test_a_good_answer_starts_punching(self):
        # Toward a socket that never answers: the punch times out.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dev:
            dev.bind(("127.0.0.1", 0))
            dev.settimeout(10)
            status, summary, err = run_peer(answer(dev.getsockname()[1]))
            self.assertEqual(dev.recv(2048), SID.encode() + b"\0")  # the SYN probe
        self.assertEqual((status, json.loads(summary[-1])["end"]), (4, "punch-timeout"))
        self.assertIn("punch timed out", err)


if __name__ == "__main__":
    unittest.main()
