#!/usr/bin/env python3
"""Relay benchmark: device -> application throughput through tarn, against
raw UDT with the same socket options between the same two lab hosts, in one
run. Prints a table; never fails on a number.

    make bench            (or, from a build with -DTARN_BENCH=ON:
    tests/sandbox env TARN_BIN=build/bin TARN_SRC=. python3 bench/relay.py)
"""

import json
import os
import statistics
import sys

sys.path[:0] = [os.path.join(os.environ["TARN_SRC"], "tests", d) for d in ("lib", "lab")]

from roads import Lab, Road, start_device, start_media  # noqa: E402

SECONDS = int(os.environ.get("BENCH_SECONDS", "10"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
PORT = 47000
CEILING_MB_S = 262144 / 0.015 / 1e6  # one send buffer per 15 ms tick


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def raw_udt(lab, rcvbuf):
    dev, app = lab.addr("dev"), lab.addr("app")
    recv = lab.popen("app", ["udt_baseline", "recv", "--local", "%s:%d" % (app, PORT),
                             "--peer", "%s:%d" % (dev, PORT), "--seconds", str(SECONDS + 2),
                             "--udp-rcvbuf", str(rcvbuf)],
                     stdout=-1, text=True)
    send = lab.popen("dev", ["udt_baseline", "send", "--local", "%s:%d" % (dev, PORT),
                             "--peer", "%s:%d" % (app, PORT), "--seconds", str(SECONDS)])
    out, _ = recv.communicate(timeout=SECONDS + 60)
    send.wait(timeout=60)
    return json.loads(out)["mb_per_s"]


def through_tarn(lab, daemon, rcvbuf):
    before = cpu_seconds(daemon.pid)
    road = Road(lab, "--seconds", str(SECONDS), "--udp-rcvbuf", str(rcvbuf))
    summary = road.finish(timeout=SECONDS + 60)
    used = cpu_seconds(daemon.pid) - before
    mb = summary.get("bytes_recv", 0) / 1e6
    return summary.get("mb_per_s", 0.0), (used * 1000 / mb if mb else float("nan"))


# The application's UDP receive buffer: the daemon's own 8 KB (0 keeps the
# option table's value), and 1 MiB as tarn-peer uses by default.
RECEIVERS = [("daemon options on both ends", 0), ("1 MiB UDP rcvbuf at the receiver", 1 << 20)]


def row(name, values):
    print("| %-44s | %8.3f | %-22s |" % (name, statistics.median(values),
                                          " ".join("%.2f" % v for v in values)))


def main():
    Lab.require_tool("udt_baseline")
    results = {}
    with Lab(device="open", app="open") as lab:
        start_media(lab)
        daemon = start_device(lab)
        for _ in range(ROUNDS):
            for _, rcvbuf in RECEIVERS:
                raw = raw_udt(lab, rcvbuf)
                rate, ms_per_mb = through_tarn(lab, daemon, rcvbuf)
                for key, value in (("raw", raw), ("tarn", rate), ("cpu", ms_per_mb)):
                    results.setdefault((key, rcvbuf), []).append(value)
        daemon.stop()
    print()
    print("relay benchmark: device -> application between two open lab hosts, "
          "%d rounds of %d s" % (ROUNDS, SECONDS))
    print("| %-44s | %8s | %-22s |" % ("path", "MB/s", "rounds"))
    print("|%s|%s|%s|" % ("-" * 46, "-" * 10, "-" * 24))
    for name, rcvbuf in RECEIVERS:
        row("raw UDT, " + name, results[("raw", rcvbuf)])
        row("tarn relay, " + name, results[("tarn", rcvbuf)])
    print("| %-44s | %8.3f | %-22s |" % ("pump ceiling (256 KiB per 15 ms tick)", CEILING_MB_S, ""))
    print()
    for name, rcvbuf in RECEIVERS:
        base = statistics.median(results[("raw", rcvbuf)])
        tarn = statistics.median(results[("tarn", rcvbuf)])
        target = 0.9 * min(base, CEILING_MB_S)
        print("%s: tarn / raw UDT = %.2f (target >= 0.90 of min(raw, ceiling): %s); "
              "tarn CPU %.1f ms per MB" % (name, tarn / base if base else float("nan"),
                                          "met" if tarn >= target else "NOT met",
                                          statistics.median(results[("cpu", rcvbuf)])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
