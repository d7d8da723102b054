#!/usr/bin/env python3
"""make bench: tarn measured in the NAT lab, every number from one run, one
table (docs/performance.md explains each row). Never fails on a number; the
exit status is 1 only when a measurement could not be made.

    make bench                      BENCH_QUICK=1: one short round of each
    BENCH_JSON=FILE make bench      the same numbers as JSON

Device and viewer each sit behind a port-restricted NAT. tarn, tarn-media and
the bus run in the device host, tarn-peer (one per viewer) in the viewer's.
The prepare_p2p exchange is this script's, over a socket in the device host,
so its time holds no process start. tarn-bench (bench/tarn-bench.cpp) is the
raw-UDT pair and the control-plane client and server.
"""

import json
import math
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path[:0] = [os.path.join(os.environ["TARN_SRC"], "tools", "lab")]

from roads import MEDIA_RECORD, STUN, Lab, Road, start_device, start_media  # noqa: E402
from tarn_daemon import read_to_eof  # noqa: E402

QUICK = os.environ.get("BENCH_QUICK") == "1"
ROUNDS = 1 if QUICK else 3
SECONDS = 5 if QUICK else 10  # per relay transfer, upstream and viewer window
LATENCY_ROADS = 5 if QUICK else 20
IDLE_SECONDS = 10 if QUICK else 60
CONTROL_SECONDS = 4 if QUICK else 10  # each, tarn and the baseline
CONTROL_SLICES = 2 if QUICK else 5
VIEWERS = (1, 8, 32)
RTTS_MS = (0, 40)

PUMP_MB_S = 262144 / 0.015 / 1e6  # one 256 KiB send buffer per 15 ms tick
UPSTREAM_KB_S = 2048 / 0.015 / 1e3  # one 2 KB receive per tick
UDT_PORT = 47000
BASELINE_PORT = 9290
MB = 1e6


# -- the daemon's share of the machine ------------------------------------------

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def udp_drops(pid):
    """Datagrams the kernel dropped for full receive buffers in pid's network."""
    with open("/proc/%d/net/snmp" % pid) as f:
        names, values = [line.split() for line in f if line.startswith("Udp:")]
    return int(values[names.index("RcvbufErrors")])


def busy_seconds():
    """CPU seconds that processes spent, on the whole machine and in this
    process tree (the ended processes it waited for included). Interrupt
    time is in neither: the lab's packets make much of it."""
    with open("/proc/stat") as f:
        user, nice, system = map(int, f.readline().split()[1:4])
    with open("/proc/self/stat") as f:
        own = sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:15])
    tick = os.sysconf("SC_CLK_TCK")
    return (user + nice + system) / tick, own / tick


def reset_peak_rss(pid):
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


class CpuMeter:
    """tarn's CPU time over a stretch of wall time, as a share of one core."""

    def __init__(self, pid):
        self.pid = pid
        self.start = (time.monotonic(), cpu_seconds(pid))

    def share(self):
        wall, cpu = time.monotonic() - self.start[0], cpu_seconds(self.pid) - self.start[1]
        return cpu / wall


# -- roads ------------------------------------------------------------------------

def control(lab, request, answered=True):
    """One control request from the device host, as libcloud sends it."""
    with lab.socket("dev", socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(("127.0.0.1", 929))
        s.sendall(json.dumps(request, separators=(",", ":")).encode())
        if not answered:
            s.shutdown(socket.SHUT_WR)
        return read_to_eof(s, 10).decode()


class BenchRoad(Road):
    """A road whose prepare_p2p is timed here: from the request until an
    answer carries the device's addresses (is_p2p_ready every 10 ms if the
    first one does not). Reads tarn-peer's progress lines as they come.
    session_key (64 hex digits): a private session, the key in prepare_p2p
    as tarnctl prepare --session-key puts it, and tarn-peer given it too."""

    def __init__(self, lab, *peer_args, session_key=None, **kwargs):
        if session_key:
            peer_args += ("--session-key", session_key)
        super().__init__(lab, *peer_args, session_key=session_key, **kwargs)

    def prepare(self, nat_type):
        a = self.address
        started = time.monotonic()
        params = {"version": "1.0", "app_imp_version": 1, "stun_url": STUN, "nat_type": nat_type,
                  "peer_addr": {"pub_ip": a["pub_ip"], "pub_port": a["pub_port"],
                                "pri_ip": a["pri_ip"], "pri_port": a["pri_port"]}}
        if self.session_key:
            params["session_key"] = self.session_key
        answer = control(self.lab, {"request": "prepare_p2p", "params": params})
        while '"dev_addr"' not in answer and time.monotonic() < started + 10:
            if '"error_code":0' not in answer:
                raise RuntimeError("prepare_p2p: " + answer)
            time.sleep(0.01)
            sid = json.loads(answer)["result"]["sid"]
            answer = control(self.lab, {"request": "is_p2p_ready", "params": {"sid": sid}})
        self.prepare_ms = (time.monotonic() - started) * 1000
        return answer

    def watch(self):
        """Collects (time, bytes received) from the progress lines."""
        self.samples = []
        self.watcher = threading.Thread(target=self._read_progress, daemon=True)
        self.watcher.start()
        return self

    def _read_progress(self):
        for line in self.peer.stderr:
            match = re.search(r": (\d+) bytes received", line)
            if match:
                self.samples.append((time.monotonic(), int(match.group(1))))

    def rate_between(self, t0, t1):
        inside = [s for s in self.samples if t0 <= s[0] <= t1]
        if len(inside) < 2:
            return 0.0
        (ta, ba), (tb, bb) = inside[0], inside[-1]
        return (bb - ba) / (tb - ta) / MB


def end_sessions(lab, roads):
    """Ends the sessions of roads whose viewers have left. The device's UDT
    misses a viewer whose shutdown datagram was lost for some 45 s (16
    expiry periods, each 300 ms longer), and the next step needs the slots."""
    control(lab, {"request": "do_tarn_clean"}, answered=False)
    for road in roads:
        road.report()


def end_watched(lab, roads):
    for road in roads:
        road.peer.send_signal(signal.SIGINT)
    for road in roads:
        road.watcher.join(60)
        road.peer.stdout.read()
        road.peer.wait(60)
    end_sessions(lab, roads)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.05)


# -- measurements -----------------------------------------------------------------

def raw_udt(lab):
    """Raw UDT between the same two hosts, through the same NATs: both ends
    connect to the other's public address (the NATs keep the local port)."""
    def end(side, other):
        return ["--local", "%s:%d" % (lab.addr(side), UDT_PORT),
                "--peer", "%s:%d" % (lab.public_addr(other), UDT_PORT)]
    recv = lab.popen("app", ["tarn-bench", "udt-recv", "--seconds", str(SECONDS + 10)]
                     + end("app", "dev"), stdout=subprocess.PIPE, text=True)
    send = lab.popen("dev", ["tarn-bench", "udt-send", "--seconds", str(SECONDS)]
                     + end("dev", "app"))
    out, _ = recv.communicate(timeout=SECONDS + 60)
    if send.wait(timeout=60) != 0 or recv.returncode != 0:
        raise RuntimeError("raw UDT did not connect")
    return json.loads(out)["mb_per_s"]


def through_tarn(lab):
    road = BenchRoad(lab, "--seconds", str(SECONDS))
    summary = road.finish(timeout=SECONDS + 60)
    end_sessions(lab, [road])
    return summary["mb_per_s"]


def relay(lab, results):
    raw, tarn = [], []
    for _ in range(ROUNDS):
        raw.append(raw_udt(lab))
        tarn.append(through_tarn(lab))
    results["relay"] = {"raw_udt_mb_s": raw, "tarn_mb_s": tarn,
                        "ratio": statistics.median(tarn) / min(statistics.median(raw), PUMP_MB_S)}


class Media:
    """tarn-media in the device host, restarted with other arguments."""

    def __init__(self, lab):
        self.lab = lab
        self.proc = self.start()

    def start(self, *args):
        # Quiet: every session's end resets its media connection.
        return start_media(self.lab, *args, stderr=subprocess.DEVNULL)

    def restart(self, *args):
        self.proc.terminate()
        self.proc.wait(30)
        self.proc = self.start(*args)


def upstream(lab, media, daemon, results):
    """Viewer to device: what reaches the media server, with the media
    stream idle (1 byte per second) and running at full speed."""
    record = lab.path("dev", MEDIA_RECORD)
    try:
        for name, args in (("idle", ["--rate", "1"]), ("running", [])):
            media.restart(*args)
            road = BenchRoad(lab, "--send-bytes", str(1 << 30), "--seconds", "600").watch()
            try:
                # From the moment the media server has its first byte.
                wait_for(lambda: os.path.exists(record) and os.path.getsize(record) > 0, 60,
                         "the media server's connection")
                t0, b0, d0 = time.monotonic(), os.path.getsize(record), udp_drops(daemon.pid)
                time.sleep(SECONDS)
                t1, b1, d1 = time.monotonic(), os.path.getsize(record), udp_drops(daemon.pid)
            finally:
                end_watched(lab, [road])
            results["upstream_" + name] = {"kb_s": (b1 - b0) / (t1 - t0) / 1e3,
                                           "device_udp_drops": d1 - d0}
    finally:
        media.restart()


def viewers(lab, daemon, count, results):
    reset_peak_rss(daemon.pid)
    roads = []
    try:
        for _ in range(count):
            roads.append(BenchRoad(lab, "--seconds", "600").watch())
        wait_for(lambda: all(r.samples and r.samples[-1][1] > 0 for r in roads), 60,
                 "every viewer to receive")
        meter = CpuMeter(daemon.pid)
        t0 = time.monotonic()
        time.sleep(SECONDS)
        t1 = time.monotonic()
        cpu = meter.share()
        rates = [r.rate_between(t0, t1) for r in roads]
        results["viewers_%d" % count] = {
            "aggregate_mb_s": sum(rates), "min_mb_s": min(rates), "cpu_share": cpu,
            "peak_rss_kb": status_kb(daemon.pid, "VmHWM")}
    finally:
        end_watched(lab, roads)


def latency(lab, rtt_ms, results):
    lab.set_netem("dev", rtt_ms, 0)
    prepare, udt, first_byte = [], [], []
    try:
        for _ in range(LATENCY_ROADS):
            road = BenchRoad(lab, "--bytes", "1")
            summary = road.finish(timeout=60)
            end_sessions(lab, [road])
            if summary["exit"] != 0:
                raise RuntimeError("a road failed: " + summary["stderr"][-500:])
            prepare.append(road.prepare_ms)
            udt.append(summary["udt_ms"])
            first_byte.append(summary["first_byte_ms"])
    finally:
        lab.set_netem("dev", 0, 0)
    results["latency_rtt_%d" % rtt_ms] = {"prepare_ms": prepare, "udt_connected_ms": udt,
                                          "first_byte_ms": first_byte}


def idle(daemon, results):
    meter = CpuMeter(daemon.pid)
    time.sleep(IDLE_SECONDS)
    results["idle"] = {"cpu_share": meter.share(), "seconds": IDLE_SECONDS,
                       "rss_kb": status_kb(daemon.pid, "VmRSS"),
                       "rss_at_start_kb": results["rss_at_start_kb"]}


def control_plane(lab, results):
    server = lab.popen("dev", ["tarn-bench", "info-server", "--port", str(BASELINE_PORT)],
                       stdout=subprocess.PIPE, text=True)
    if '"listening"' not in server.stdout.readline():
        raise RuntimeError("tarn-bench info-server did not start")
    try:
        # Turn about in short slices, so a change in the machine's other load
        # falls on both alike.
        for _ in range(CONTROL_SLICES):
            for name, port in (("tarn", 929), ("baseline", BASELINE_PORT)):
                out = lab.run("dev", ["tarn-bench", "info-client", "--port", str(port),
                                      "--seconds", str(CONTROL_SECONDS / CONTROL_SLICES),
                                      "--threads", "2"], timeout=CONTROL_SECONDS + 60, check=True)
                total = results.setdefault("control_" + name, dict.fromkeys(
                    ("answers", "failures", "seconds"), 0))
                for key, value in json.loads(out.stdout).items():
                    if key in total:
                        total[key] += value
        for name in ("tarn", "baseline"):
            total = results["control_" + name]
            total["per_s"] = total["answers"] / total["seconds"]
    finally:
        server.terminate()
        server.wait(30)


# -- the table ----------------------------------------------------------------------

def p95(values):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(0.95 * len(ordered)) - 1)]


def spread(values):
    return "median of %d, %.2f-%.2f" % (len(values), min(values), max(values))


def rows(r):
    if "relay" in r:
        raw, tarn = r["relay"]["raw_udt_mb_s"], r["relay"]["tarn_mb_s"]
        yield ("relay device->viewer, raw UDT", "%.2f MB/s" % statistics.median(raw), spread(raw))
        yield ("relay device->viewer, tarn", "%.2f MB/s" % statistics.median(tarn), spread(tarn))
        yield ("tarn / min(raw UDT, %.1f MB/s)" % PUMP_MB_S, "%.2f" % r["relay"]["ratio"], "")
    for name in ("idle", "running"):
        up = r.get("upstream_" + name)
        if up:
            yield ("viewer->device, stream %s" % name, "%.1f kB/s" % up["kb_s"],
                   "pump at most %.1f kB/s; %d datagrams dropped at the device"
                   % (UPSTREAM_KB_S, up["device_udp_drops"]))
    for count in VIEWERS:
        v = r.get("viewers_%d" % count)
        if v:
            yield ("%d viewer%s at once" % (count, "s" if count > 1 else ""),
                   "%.2f MB/s total" % v["aggregate_mb_s"],
                   "min %.2f MB/s each; tarn CPU %.0f%%, peak RSS %.1f MB"
                   % (v["min_mb_s"], v["cpu_share"] * 100, v["peak_rss_kb"] / 1024))
    for rtt in RTTS_MS:
        lat = r.get("latency_rtt_%d" % rtt)
        if lat:
            for key, what, note in (
                    ("prepare_ms", "prepare_p2p -> ready answer", ""),
                    ("first_byte_ms", "ready answer -> first media byte",
                     "; UDT up at p50 %.0f ms" % statistics.median(lat["udt_connected_ms"]))):
                yield ("%s, +%d ms RTT" % (what, rtt), "p50 %.0f ms" % statistics.median(lat[key]),
                       "p95 %.0f ms, %d roads%s" % (p95(lat[key]), len(lat[key]), note))
    if "idle" in r:
        yield ("idle, no session, %d s" % r["idle"]["seconds"],
               "CPU %.3f%%" % (r["idle"]["cpu_share"] * 100),
               "RSS %.1f MB (%.1f MB before the first session)"
               % (r["idle"]["rss_kb"] / 1024, r["idle"]["rss_at_start_kb"] / 1024))
    if "control_tarn" in r and "control_baseline" in r:
        t, b = r["control_tarn"], r["control_baseline"]
        for name, c in (("tarn", t), ("minimal libevent server", b)):
            yield ("get_tarn_info, %s" % name, "%.0f answers/s" % c["per_s"],
                   "2 threads, new connection each, %d failed" % c["failures"])
        yield ("tarn / minimal server", "%.2f" % (t["per_s"] / b["per_s"]), "")


def print_table(results, header):
    table = list(rows(results))
    widths = [max(len(row[i]) for row in table + [("measure", "result", "detail")])
              for i in range(3)]
    print("\n" + header)
    for row in [("measure", "result", "detail"), tuple("-" * w for w in widths)] + table:
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
    for what, error in results["failed"].items():
        print("FAILED: %s: %s" % (what, error))


def run_status(results):
    """Writes results to BENCH_JSON when set; the exit status: 1 when a
    measurement could not be made."""
    if os.environ.get("BENCH_JSON"):
        with open(os.environ["BENCH_JSON"], "w") as f:
            json.dump(results, f, indent=1)
    return 1 if results["failed"] else 0


def main():
    results = {"quick": QUICK, "cpus": os.cpu_count(), "load_before": os.getloadavg()[0],
               "failed": {}}
    started, busy_before = time.monotonic(), busy_seconds()

    def measure(what, step, *args):
        print("bench: %3.0f s: %s" % (time.monotonic() - started, what), file=sys.stderr,
              flush=True)
        try:
            step(*args)
        except Exception as e:  # one broken measurement must not hide the others
            results["failed"][what] = "%s: %s" % (type(e).__name__, e)

    with Lab(device="port-restricted", app="port-restricted") as lab:
        media = Media(lab)
        daemon = start_device(lab)
        results["rss_at_start_kb"] = status_kb(daemon.pid, "VmRSS")
        measure("control plane", control_plane, lab, results)
        measure("relay", relay, lab, results)
        measure("viewer->device", upstream, lab, media, daemon, results)
        for count in VIEWERS:
            measure("%d viewers" % count, viewers, lab, daemon, count, results)
        for rtt in RTTS_MS:
            measure("latency at +%d ms RTT" % rtt, latency, lab, rtt, results)
        # Last: the steady state after the work, start-up's NAT discovery long done.
        measure("idle", idle, daemon, results)
        daemon.stop()
    results["seconds"] = time.monotonic() - started
    busy = [after - before for after, before in zip(busy_seconds(), busy_before)]
    results["others_cpu_share"] = max(0.0, busy[0] - busy[1]) / results["seconds"]
    print_table(results, "tarn in the NAT lab, device and viewer behind port-restricted NATs; "
                "%s, %.0f s; %d CPUs, load average %.2f at the start, other processes "
                "about %.0f%% of one core during the run" % (
                    "BENCH_QUICK" if QUICK else "%d rounds" % ROUNDS, results["seconds"],
                    results["cpus"], results["load_before"], results["others_cpu_share"] * 100))
    return run_status(results)


if __name__ == "__main__":
    sys.exit(main())
