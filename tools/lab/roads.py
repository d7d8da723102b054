"""The full road through the lab: tarn-media and tarn in the device host,
tarn-peer in the application host, tarnctl playing the cloud agent. Used by
the lab tests, the demo and the benchmarks."""

import json
import re
import subprocess

from nat_lab import STUN_ADDRS, Lab
from tarn_daemon import wait_reports, wait_until

STUN = "%s:3478" % STUN_ADDRS[0]
MEDIA_PORT = 8080
MEDIA_RECORD = "/var/log/media.bin"
REQUEST = b"GET /live HTTP/1.0\r\n\r\n"


def pattern(n):
    """The media stand-in's stream: byte i is the top byte of i * 2654435761 mod 2**32."""
    return bytes(((i * 2654435761) & 0xFFFFFFFF) >> 24 for i in range(n))


def start_media(lab, *args, stderr=None):
    """tarn-media in the device host, recording what it receives."""
    media = lab.popen("dev", ["tarn-media", "-p", str(MEDIA_PORT), "-o", MEDIA_RECORD] +
                      list(args), stdout=subprocess.PIPE, stderr=stderr, text=True)
    assert json.loads(media.stdout.readline())["event"] == "listening"
    return media


def start_device(lab, *args, **kwargs):
    """tarn in the device host, with the media port configured."""
    return lab.start_device_daemon(*args, media_port=MEDIA_PORT, **kwargs)


def device_reports(lab, predicate, **kwargs):
    return wait_reports(predicate, path=lab.path("dev", "/var/log/cloud_log.log"), **kwargs)


def bus_session(lab, sid, predicate=lambda s: s["state"] == "streaming"):
    """Session sid in tarn's status object on the bus, once predicate holds."""
    def found():
        out = lab.run("dev", ["ubus", "-t", "5", "call", "tarn", "status"])
        sessions = json.loads(out.stdout)["sessions"] if out.returncode == 0 else []
        return [s for s in sessions if s["sid"] == sid and predicate(s)]
    return wait_until(found, 60, "session %s on the bus" % sid)[0]


def prepare_for(lab, peer_pub, peer_pri="192.168.7.20:40001", *options):
    """tarnctl prepare for an application that is not there; the answer's result."""
    out = lab.run("dev", ["tarnctl", "prepare", "--stun", STUN_ADDRS[0], "--peer-pub", peer_pub,
                          "--peer-pri", peer_pri, "--nat-type", "4"] + list(options))
    assert out.returncode == 0, out.stdout + out.stderr
    return json.loads(out.stdout)["result"]


class Road:
    """One application reaching the device: tarn-peer started with peer_args,
    the device prepared with its addresses (naming the STUN server stun),
    the answer handed over (after before_peer(road), when given). peer_env:
    VAR=VALUE settings for tarn-peer (a viewer on another libudt). session_key:
    the private session's key the cloud gives the device (the viewer's, if
    any, is among peer_args)."""

    session_key = None  # for subclasses that prepare without this constructor

    def __init__(self, lab, *peer_args, nat_type=4, stun=STUN, before_peer=None, peer_env=(),
                 session_key=None):
        self.lab = lab
        self.stun = stun
        self.session_key = session_key
        self.peer = lab.popen("app", ["env"] + list(peer_env) + ["tarn-peer", "--stun", STUN] +
                              list(peer_args),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        self.address = json.loads(self.peer.stdout.readline())
        text = self.prepare(nat_type)
        self.answer = json.loads(text)
        self.sid = self.answer["result"]["sid"]
        if before_peer:
            before_peer(self)
        self.peer.stdin.write(text.strip() + "\n")
        self.peer.stdin.flush()

    def prepare(self, nat_type):
        """The cloud agent's part: tarnctl prepare with the application's
        addresses (and a private session's key); the device's ready answer as
        text."""
        out = self.lab.run("dev", ["tarnctl", "prepare", "--stun", self.stun,
                                   "--peer-pub", self.address["peer_pub"],
                                   "--peer-pri", self.address["peer_pri"],
                                   "--nat-type", str(nat_type), "--wait", "10"] +
                          (["--session-key", self.session_key] if self.session_key else []))
        assert out.returncode == 0, out.stdout + out.stderr
        return out.stdout

    def wait_progress(self, seconds=0, received=0):
        """Reads tarn-peer's progress lines up to the first at seconds with
        received bytes; its counts ("received", "sent")."""
        for line in self.peer.stderr:
            m = re.search(r": (\d+) s: (\d+) bytes received .*, (\d+) sent", line)
            if m and int(m.group(1)) >= seconds and int(m.group(2)) >= received:
                return {"received": int(m.group(2)), "sent": int(m.group(3))}
        raise AssertionError("tarn-peer ended before %d s, %d bytes" % (seconds, received))

    def finish(self, timeout=120):
        """tarn-peer's summary line, with its exit status and standard error."""
        out, err = self.peer.communicate(timeout=timeout)
        lines = out.strip().splitlines()
        summary = json.loads(lines[-1]) if lines else {}
        summary.update(exit=self.peer.returncode, stderr=err)
        return summary

    def report(self, timeout=60):
        """The session's report as cloud_log received it."""
        return device_reports(self.lab, lambda r: r.get("sessionID") == self.sid,
                              timeout=timeout)[0]

    def media_record(self, size, timeout=120):
        """The first size bytes the media stand-in received, once it has them."""
        path = self.lab.path("dev", MEDIA_RECORD)

        def have():
            with open(path, "rb") as f:
                data = f.read()
            return data if len(data) >= size else None
        return wait_until(have, timeout, "%d bytes at the media server" % size)[:size]


__all__ = ["Lab", "Road", "REQUEST", "STUN", "MEDIA_PORT", "MEDIA_RECORD", "pattern",
           "start_device", "start_media", "device_reports", "bus_session", "prepare_for"]
