#!/usr/bin/env python3
"""make demo: tarn's main job in the NAT lab.

A device behind a port-restricted NAT runs tarn with the host bus and the
cloud_log stand-in; coturn is the STUN server on the lab's Internet. tarnctl
plays the cloud agent: it asks for the daemon's version, starts a session
with prepare_p2p and shows the device's public address, ends it with
do_tarn_clean so its report reaches cloud_log, and stops tarn with SIGTERM.
Run under tests/sandbox (the Makefile does)."""

import json
import os
import signal
import sys

sys.path[:0] = [os.path.join(os.environ["TARN_SRC"], "tests", d) for d in ("lib", "lab")]

from nat_lab import STUN_ADDRS, Lab  # noqa: E402
from tarn_daemon import wait_reports  # noqa: E402


def say(text):
    print("\n\033[1m== %s\033[0m" % text, flush=True)


def tarnctl(lab, *args):
    print("$ tarnctl " + " ".join(args), flush=True)
    out = lab.run("dev", ["tarnctl"] + list(args))
    print((out.stdout + out.stderr).rstrip() or "(no answer)", flush=True)
    return out


def main():
    say("building the lab: device behind a port-restricted NAT, coturn on %s" % STUN_ADDRS[0])
    with Lab(device="port-restricted", app="port-restricted") as lab:
        print("device host %s behind NAT %s" % (lab.addr("dev"), lab.public_addr("dev")))

        say("starting tarn -d in the device host (with tarn-ubusd; cloud_log starts on demand)")
        daemon = lab.start_device_daemon()
        print("tarn runs as pid %d" % daemon.pid)

        say("the cloud agent asks for the version")
        tarnctl(lab, "info")

        say("prepare_p2p: the device learns its public address from coturn")
        out = tarnctl(lab, "prepare", "--stun", "%s:3478" % STUN_ADDRS[0],
                      "--peer-pub", "203.0.113.20:40000", "--peer-pri", "192.168.2.2:40000",
                      "--nat-type", "4", "--wait", "5")
        sid = json.loads(out.stdout)["result"]["sid"]

        say("do_tarn_clean ends the session; its report goes over the bus to cloud_log")
        tarnctl(lab, "clean")
        log = lab.path("dev", "/var/log/cloud_log.log")
        (report,) = wait_reports(lambda r: r.get("sessionID") == sid, path=log)
        print("cloud_log received (%s):" % "/var/log/cloud_log.log")
        print(json.dumps(report, indent=2))

        say("stopping tarn with SIGTERM")
        code = daemon.stop(signal.SIGTERM)
        print("tarn exited with status %d" % code)

        say("tarn's log")
        print(daemon.log())
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
