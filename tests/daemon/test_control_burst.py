"""A burst of 10,000 short control connections: valid, invalid and oversized
requests from several clients at once. Every valid one must be answered
exactly, and the daemon must end the burst holding no more descriptors than
before it."""

import json
import threading
import unittest

from tarn_daemon import Daemon, request, set_device_mac, wait_until

CONNECTIONS = 10000
CLIENTS = 4

INFO = ('{"request":"get_tarn_info"}', '{"error_code":0,"result":{"version":"1.1"}}')
BAD = json.dumps({"error_code": 23, "error_msg": "request json string error"},
                 separators=(",", ":"))
NO_SESSION = json.dumps({"error_code": 21, "error_msg": "no sess with this sid"},
                        separators=(",", ":"))
MIX = [
    INFO,
    ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 63), NO_SESSION),
    ("{not json", BAD),
    ('{"request":"get_tarn_info","pad":"%s"}' % ("x" * 4000), BAD),
    ('{"request":"is_p2p_ready","params":{"sid":"%s"}}' % ("s" * 64), BAD),
    ('{"request":"no_such_request"}', BAD),
]


class Burst(unittest.TestCase):
    def test_burst_of_short_connections(self):
        set_device_mac("00:11:22:aa:bb:cc")
        with Daemon(debug=False) as d:
            request(INFO[0])
            fds_before = d.open_fds()
            failures = []

            def client(index):
                for n in range(index, CONNECTIONS, CLIENTS):
                    text, expected = MIX[n % len(MIX)]
                    try:
                        answer = request(text)
                    except OSError as e:
                        answer = repr(e)
                    if answer != expected:
                        failures.append((n, text[:40], answer[:80]))

            threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(failures, [])
            # The daemon frees each connection after its answer drained.
            wait_until(lambda: d.open_fds() <= fds_before, what="descriptors to settle")
            self.assertEqual(request(INFO[0]), INFO[1])
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
