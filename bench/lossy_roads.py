#!/usr/bin/env python3
"""Lossy roads: ROADS roads (default 20) through the lab with LOSS % (default
10) of the datagrams dropped each way on both WAN links (lab_shaper.py).
Prints one line per road and the punch success rate; never fails on a
number. The goal is at least 19 of 20.

    make bench-lossy      (or: tests/sandbox env TARN_BIN=build/bin TARN_SRC=.
                           PATH=build/bin:$PATH python3 bench/lossy_roads.py)
"""

import os
import statistics
import sys

sys.path[:0] = [os.path.join(os.environ["TARN_SRC"], "tools", "lab")]

from roads import Lab, Road, start_device, start_media  # noqa: E402

ROADS = int(os.environ.get("LOSSY_ROADS", "20"))
LOSS = float(os.environ.get("LOSSY_PCT", "10"))


def main():
    with Lab(device="port-restricted", app="port-restricted") as lab:
        start_media(lab)
        daemon = start_device(lab)
        lab.set_netem("dev", 0, LOSS)
        lab.set_netem("app", 0, LOSS)
        punched, times = 0, []
        print("%d roads, %g %% loss each way on both WAN links" % (ROADS, LOSS))
        print("%5s %6s %10s %s" % ("road", "exit", "punch_ms", "end"))
        for n in range(1, ROADS + 1):
            road = Road(lab, "--bytes", "65536", "--punch-timeout", "25")
            summary = road.finish()
            ok = summary["punch_ms"] >= 0
            punched += ok
            if ok:
                times.append(summary["punch_ms"])
            print("%5d %6d %10d %s" % (n, summary["exit"], summary["punch_ms"], summary["end"]),
                  flush=True)
        daemon.stop()
    print("punched %d of %d (%.0f %%); punch time median %s ms, worst %s ms"
          % (punched, ROADS, 100.0 * punched / ROADS,
             int(statistics.median(times)) if times else "-", max(times) if times else "-"))


if __name__ == "__main__":
    main()
