"""How long tarn's event loop keeps a control request waiting: a thread asks
get_tarn_info on a fresh connection every 50 ms and records each answer time,
so a loop that blocks shows up as one slow answer. With LOOP_PROBE_TABLE set,
each probe adds a line to that file (make liveness)."""

import json
import os
import socket
import threading
import time

from tarn_daemon import INFO, INFO_ANSWER, read_to_eof


def record(fault, **figures):
    """Adds one row to the LOOP_PROBE_TABLE file, if there is one."""
    table = os.environ.get("LOOP_PROBE_TABLE")
    if table:
        with open(table, "a") as f:
            f.write(json.dumps(dict(fault=fault, **figures)) + "\n")


class LoopProbe:
    def __init__(self, label, make_socket=socket.socket):
        self.label, self._make_socket = label, make_socket
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.latencies, self.failures = [], 0

    def _run(self):
        while not self._stop.is_set():
            started = time.monotonic()
            try:
                with self._make_socket() as s:
                    s.settimeout(300)
                    s.connect(("127.0.0.1", 929))
                    s.sendall(INFO.encode())
                    if read_to_eof(s, 300).decode() != INFO_ANSWER:
                        raise OSError("no answer")
                self.latencies.append(time.monotonic() - started)
            except OSError:
                self.failures += 1
            self._stop.wait(0.05)  # the probing period, not a wait for tarn

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        record(self.label, answers=len(self.latencies), failures=self.failures,
               worst_ms=round(self.worst_ms, 1))

    @property
    def worst_ms(self):
        return max(self.latencies, default=float("inf")) * 1000
