#!/usr/bin/env python3
"""make demo: tarn's main job in the NAT lab.

A device behind a port-restricted NAT, configured like OpenWrt 21.02 and later
(ubusd on its default socket, the WAN as `option device`), runs tarn, ubusd and
the media stand-in; an application behind another port-restricted NAT runs tarn-peer;
coturn is the STUN server on the lab's Internet. tarnctl plays the cloud
agent: it asks for tarn's version, hands the application's addresses to the
device with prepare_p2p and the device's answer back to the application.
The application punches through both NATs, runs UDT and receives the
device's media; the session's report reaches cloud_log when the application
leaves. Run under tests/sandbox (the Makefile does)."""

import json
import os
import signal
import sys

sys.path[:0] = [os.path.join(os.environ["TARN_SRC"], "tools", "lab")]

from roads import STUN, Lab, Road, start_device, start_media  # noqa: E402

SECONDS = 8


def say(text):
    print("\n\033[1m== %s\033[0m" % text, flush=True)


def main():
    say("the lab: device and application each behind a port-restricted NAT, coturn at " + STUN)
    with Lab(device="port-restricted", app="port-restricted") as lab:
        print("device      %-12s behind NAT %s" % (lab.addr("dev"), lab.public_addr("dev")))
        print("application %-12s behind NAT %s" % (lab.addr("app"), lab.public_addr("app")))

        say("device: tarn-media (the media server), ubusd, tarn -d")
        start_media(lab)
        daemon = start_device(lab, layout="current")
        print(lab.read("dev", "/etc/config/network").rstrip())
        print("tarn runs as pid %d" % daemon.pid)
        print("$ tarnctl info\n" + lab.run("dev", ["tarnctl", "info"]).stdout.strip())

        say("application: tarn-peer learns its public address; the cloud agent prepares the device")
        road = Road(lab, "--verify", "--seconds", str(SECONDS))
        print("tarn-peer:", json.dumps(road.address))
        print("$ tarnctl prepare --stun %s --peer-pub %s --peer-pri %s --nat-type 4 --wait 10"
              % (STUN, road.address["peer_pub"], road.address["peer_pri"]))
        print(json.dumps(road.answer))

        say("punching, UDT and %d s of media toward the application" % SECONDS)
        summary = road.finish()
        for key in ("peer_addr", "punch_ms", "udt_ms", "first_byte_ms", "bytes_recv", "mb_per_s",
                    "pattern_errors", "end"):
            print("%-15s %s" % (key, summary.get(key)))

        say("the session's report, as the cloud_log stand-in received it")
        report = road.report()
        print(json.dumps(report, indent=2))
        punch = report.get("punchInfo", {})
        print("punched path: device saw the application at %s:%s"
              % (punch.get("srcIPRecv"), punch.get("srcPortRecv")))

        say("stopping tarn with SIGTERM")
        code = daemon.stop(signal.SIGTERM)
        print("tarn exited with status %d" % code)
        ok = code == 0 and summary.get("exit") == 0 and summary.get("pattern_errors") == 0
        say("demo %s" % ("succeeded" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
