#!/usr/bin/env python3
"""make bench-live: live view on lossy roads, one table from one run
(docs/performance.md). A camera-rate stream from the media stand-in and
talk-back from the viewer at once, through port-restricted NATs on both
sides with loss and delay on both WAN links; the viewer on UDT 4.11 as
shipped (UDT_PLAIN_LIB) and on ours. Never fails on a number; the exit
status is 1 only when a measurement could not be made.

    make bench-live                 60 s a row; BENCH_QUICK=1: 15 s
    BENCH_JSON=FILE                 the same numbers as JSON
    BENCH_LIVE_ROWS=loaded          only the loaded-device rows (UDP drops)
    BENCH_LIVE_ROWS=private         only private sessions beside the same plain rows
    BENCH_DEVICE_UDT=plain          the device's tarn on UDT 4.11 as shipped too

MIPS_DEVICE, when set, is the argv (qemu and the cross-built tarn) of the
device for the fewer MIPS rows.
"""

import math
import os
import shlex
import statistics
import subprocess
import sys
import threading
import time

import bench  # noqa: E402 (puts tools/lab on the path)
from bench import MB, BenchRoad, busy_seconds, cpu_seconds, end_sessions, p95, run_status, udp_drops
from roads import MEDIA_RECORD, REQUEST, Lab, pattern, start_device, start_media

QUICK = bench.QUICK
SECONDS = 15 if QUICK else 60  # of stream and talk-back a row
GRACE = 15  # more seconds for what a freeze held back
STREAM = 500000  # bytes/s: 4 Mbit/s of camera
TALK = 8000  # bytes/s: 64 kbit/s of talk-back
FIRST_BYTE_ROADS = 5 if QUICK else 20
PLAIN_LIB = os.environ["UDT_PLAIN_LIB"]
MIPS = shlex.split(os.environ.get("MIPS_DEVICE", ""))
ONLY = os.environ.get("BENCH_LIVE_ROWS", "")
DEVICE_PLAIN = os.environ.get("BENCH_DEVICE_UDT") == "plain"

# (loss % each way, added RTT ms): the goals' corners (2 % at 100 ms, 5 %),
# the loss steps at the lab's own RTT, and 40 ms between.
X86_ROWS = ((0, 0), (0.5, 0), (1, 0), (2, 0), (1, 40), (2, 40), (2, 100), (5, 0), (5, 100))
MIPS_ROWS = ((0, 0), (1, 40), (2, 100))
LOADED_ROWS = ((0, 0), (1, 40))  # with two CPU hogs in the device host (MIPS: the last)
HOGS = 2
SEQ_APP = "sequential-symmetric"
SEQ_ROWS = ((1, 40),)  # the viewer behind a NAT that allocates ports in sequence
RTTS_MS = (0, 40, 100)
VIEWERS = ("plain", "patched")
# A private session (session_key in prepare_p2p, tarn-peer --session-key)
# right after the same plain one, in the same lab; x86 and MIPS.
PRIVATE_ROWS = ((0, 0), (1, 40), (2, 100))
SESSIONS = ("plain", "private")


def viewer_env(viewer):
    return ("LD_LIBRARY_PATH=" + PLAIN_LIB,) if viewer == "plain" else ()


def shape(lab, loss, rtt):
    """Half the added RTT and the loss on each side's WAN link."""
    for side in ("dev", "app"):
        lab.set_netem(side, rtt / 2, loss)


class TalkbackWatch:
    """Follows the media server's record from offset base: when each new
    talk-back byte came, until want bytes are there or stop() is called."""

    def __init__(self, path, base, want):
        self.path, self.start, self.want = path, base + len(REQUEST), want
        self.longest, self.got, self.done = 0.0, 0, threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        last = None
        while not self.done.wait(0.005):
            got = max(0, os.path.getsize(self.path) - self.start)
            now = time.monotonic()
            if got != self.got:
                if last is not None:
                    self.longest = max(self.longest, now - last)
                last, self.got = now, got
            if got >= self.want:
                return
        if last is not None and self.got < self.want:  # still owed at the end
            self.longest = max(self.longest, time.monotonic() - last)

    def finish(self, deadline):
        self.thread.join(max(0.0, deadline - time.monotonic()))
        self.done.set()
        self.thread.join()
        with open(self.path, "rb") as f:
            f.seek(self.start)
            data = f.read(self.want)
        return data == pattern(len(data))


def live_row(lab, daemon, viewer, loss, rtt, nat_type=4, private=False):
    shape(lab, loss, rtt)
    record = lab.path("dev", MEDIA_RECORD)
    drops = udp_drops(daemon.pid)
    cpu = cpu_seconds(daemon.pid)
    road = BenchRoad(lab, "--verify", "--seconds", str(SECONDS + GRACE),
                     "--bytes", str(STREAM * SECONDS), "--send-bytes", str(TALK * SECONDS),
                     "--send-rate", str(TALK), peer_env=viewer_env(viewer), nat_type=nat_type,
                     session_key=os.urandom(32).hex() if private else None)
    talk = TalkbackWatch(record, os.path.getsize(record), TALK * SECONDS)
    started = time.monotonic()
    try:
        # tarn-peer lingers up to 30 s on its close for talk-back still unsent.
        summary = road.finish(timeout=SECONDS + GRACE + 60)
        talk_exact = talk.finish(started + SECONDS + GRACE + 5)
        cpu = cpu_seconds(daemon.pid) - cpu
    finally:
        talk.done.set()
        end_sessions(lab, [road])
        shape(lab, 0, 0)
    if summary.get("first_byte_ms", -1) < 0:
        raise RuntimeError("no media came: " + summary["stderr"][-500:])
    # tarn-peer reads on in 64 KB gulps: a little more than asked may come.
    return {"stream_pct": min(100.0, 100.0 * summary["bytes_recv"] / (STREAM * SECONDS)),
            "stream_exact": summary["pattern_errors"] == 0,
            "stream_freeze_ms": summary["longest_gap_ms"],
            "talk_pct": 100.0 * talk.got / (TALK * SECONDS), "talk_exact": talk_exact,
            "talk_freeze_ms": talk.longest * 1000, "first_byte_ms": summary["first_byte_ms"],
            "device_udp_drops": udp_drops(daemon.pid) - drops,
            # The device's own CPU (under qemu: the emulator's) per MB it moved.
            "device_cpu_ms_per_mb": 1000 * cpu / ((summary["bytes_recv"] + talk.got) / MB)}


def first_bytes(lab, viewer, rtt):
    """Ready answer to UDT up and to the first media byte over several
    roads, no loss."""
    shape(lab, 0, rtt)
    times, udt = [], []
    try:
        for _ in range(FIRST_BYTE_ROADS):
            road = BenchRoad(lab, "--bytes", "1", peer_env=viewer_env(viewer))
            summary = road.finish(timeout=60)
            end_sessions(lab, [road])
            if summary["exit"] != 0:
                raise RuntimeError("a road failed: " + summary["stderr"][-500:])
            times.append(summary["first_byte_ms"])
            udt.append(summary["udt_ms"])
    finally:
        shape(lab, 0, 0)
    return times, udt


def goal(row):
    """Whether a row meets the live-view goals, or what misses."""
    if not (row["stream_exact"] and row["talk_exact"]):
        return "no: bytes differ"
    # Above 2 % only that all came within the grace: nothing stalled for good.
    limit = 300 + row["rtt"] if row["loss"] <= 2 else math.inf
    misses = [what for what, ok in (("stream short", row["stream_pct"] >= 100),
                                    ("talk-back short", row["talk_pct"] >= 100),
                                    ("stream freeze", row["stream_freeze_ms"] <= limit),
                                    ("talk-back freeze", row["talk_freeze_ms"] <= limit)) if not ok]
    return "no: " + ", ".join(misses) if misses else "yes"


def run_device(results, measure, device, program, rows, viewers, hogs=0, app="port-restricted",
               sessions=("plain",), first_byte=True):
    # A viewer behind a symmetric NAT says so (nat_type 7): tarn predicts its
    # ports from the first sweep.
    nat_type = 7 if app == SEQ_APP else 4
    with Lab(device="port-restricted", app=app) as lab:
        start_media(lab, "--rate", str(STREAM), stderr=subprocess.DEVNULL)
        daemon = start_device(lab, program=program)
        hog_procs = [lab.popen("dev", ["sh", "-c", "exec yes >/dev/null"]) for _ in range(hogs)]
        try:
            for loss, rtt in rows:
                for viewer in viewers:
                    for session in sessions:
                        key = dict(device=device, viewer=viewer, loss=loss, rtt=rtt, hogs=hogs,
                                   app=app, session=session)

                        def step(key=key):
                            key.update(live_row(lab, daemon, key["viewer"], key["loss"],
                                                key["rtt"], nat_type, key["session"] == "private"))
                            results["rows"].append(key)
                        measure("%(device)s, %(session)s session, %(viewer)s viewer, %(loss)g %% "
                                "loss, +%(rtt)d ms RTT, %(hogs)d hogs" % key, step)
            if first_byte and not hogs and device == "x86" and app != SEQ_APP:
                for rtt in RTTS_MS:
                    for viewer in viewers:
                        def step(viewer=viewer, rtt=rtt):
                            ms, udt = first_bytes(lab, viewer, rtt)
                            results["first_byte"].append(dict(
                                device=device, viewer=viewer, rtt=rtt, ms=ms, udt_ms=udt))
                        measure("first byte, %s viewer, +%d ms RTT" % (viewer, rtt), step)
        finally:
            for proc in hog_procs:
                proc.kill()
                proc.wait()
        daemon.stop()


def print_tables(r, header):
    cols = ("device", "session", "viewer UDT", "loss", "+RTT", "stream", "freeze", "talk-back",
            "freeze", "first byte", "UDP drops", "device CPU/MB", "goal")
    table = [(row["device"] + (" +%d hogs" % row["hogs"] if row["hogs"] else "")
              + (", viewer seq. symmetric" if row.get("app") == SEQ_APP else ""),
              row["session"], row["viewer"],
              "%g %%" % row["loss"], "%d ms" % row["rtt"],
              "%.1f %%%s" % (row["stream_pct"], "" if row["stream_exact"] else " BAD"),
              "%d ms" % row["stream_freeze_ms"],
              "%.1f %%%s" % (row["talk_pct"], "" if row["talk_exact"] else " BAD"),
              "%d ms" % row["talk_freeze_ms"], "%d ms" % row["first_byte_ms"],
              str(row["device_udp_drops"]), "%.0f ms" % row["device_cpu_ms_per_mb"], goal(row))
             for row in r["rows"]]
    print("\n" + header)
    print_markdown(cols, table)
    if r["first_byte"]:
        print("\nready answer -> first media byte, no loss, %d roads each; goal p95 <= 2 RTT + "
              "60 ms" % FIRST_BYTE_ROADS)
        print_markdown(("viewer UDT", "+RTT", "UDT up p50", "first byte p50", "p95", "goal"), [
            (f["viewer"], "%d ms" % f["rtt"], "%d ms" % statistics.median(f["udt_ms"]),
             "%d ms" % statistics.median(f["ms"]), "%d ms" % p95(f["ms"]),
             "yes" if p95(f["ms"]) <= 2 * f["rtt"] + 60 else "no") for f in r["first_byte"]])
    for note in r["notes"]:
        print("note: " + note)
    for what, error in r["failed"].items():
        print("FAILED: %s: %s" % (what, error))


def print_markdown(cols, table):
    widths = [max(len(row[i]) for row in table + [cols]) for i in range(len(cols))]
    for row in [cols, tuple("-" * w for w in widths)] + table:
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")


def main():
    results = {"quick": QUICK, "seconds_each": SECONDS, "cpus": os.cpu_count(),
               "load_before": os.getloadavg()[0], "device_udt": "plain" if DEVICE_PLAIN
               else "patched", "rows": [], "first_byte": [], "notes": [], "failed": {}}
    started, busy_before = time.monotonic(), busy_seconds()

    def measure(what, step):
        print("bench-live: %4.0f s: %s" % (time.monotonic() - started, what), file=sys.stderr,
              flush=True)
        try:
            step()
        except Exception as e:  # one broken measurement must not hide the others
            results["failed"][what] = "%s: %s" % (type(e).__name__, e)

    x86 = ["env", "LD_LIBRARY_PATH=" + PLAIN_LIB, os.path.join(os.environ["TARN_BIN"], "tarn")] \
        if DEVICE_PLAIN else None
    if ONLY == "private":
        if not MIPS:
            results["notes"].append("no MIPS rows: build-mips/bin/tarn is missing (make cross)")
        run_private(results, measure, x86)
        return finish(results, started, busy_before)
    if ONLY != "loaded":
        run_device(results, measure, "x86", x86, X86_ROWS, VIEWERS)
        if not MIPS:
            results["notes"].append("no MIPS rows: build-mips/bin/tarn is missing (make cross)")
        elif DEVICE_PLAIN:
            results["notes"].append("no MIPS rows: no cross-built UDT 4.11 as shipped")
        else:
            run_device(results, measure, "MIPS", MIPS, MIPS_ROWS, VIEWERS)
    if ONLY != "loaded":
        # A lab each: the NAT keeps its one port towards the STUN server for
        # the first viewer's socket while its mapping lives.
        for viewer in VIEWERS:
            run_device(results, measure, "x86", x86, SEQ_ROWS, (viewer,), app=SEQ_APP)
        run_private(results, measure, x86)
    run_device(results, measure, "x86", x86, LOADED_ROWS, ("patched",), hogs=HOGS)
    if MIPS and not DEVICE_PLAIN:
        run_device(results, measure, "MIPS", MIPS, LOADED_ROWS[1:], ("patched",), hogs=HOGS)
    return finish(results, started, busy_before)


def run_private(results, measure, x86):
    private = dict(sessions=SESSIONS, first_byte=False)
    run_device(results, measure, "x86", x86, PRIVATE_ROWS, ("patched",), **private)
    if MIPS and not DEVICE_PLAIN:
        run_device(results, measure, "MIPS", MIPS, PRIVATE_ROWS, ("patched",), **private)


def finish(results, started, busy_before):
    results["seconds"] = time.monotonic() - started
    busy = [after - before for after, before in zip(busy_seconds(), busy_before)]
    results["others_cpu_share"] = max(0.0, busy[0] - busy[1]) / results["seconds"]
    print_tables(results, "live view, 4 Mbit/s stream and 64 kbit/s talk-back for %d s a row, "
                 "port-restricted NATs, loss and half the added RTT on each WAN link; device on %s "
                 "UDT; %.0f s; %d CPUs, load average %.2f at the start, other processes about "
                 "%.0f%% of one core" % (SECONDS, results["device_udt"], results["seconds"],
                                         results["cpus"], results["load_before"],
                                         results["others_cpu_share"] * 100))
    return run_status(results)


if __name__ == "__main__":
    sys.exit(main())
