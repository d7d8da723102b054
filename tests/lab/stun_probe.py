"""A classic (RFC 3489) STUN binding-request probe, for checking the lab.

Only what the lab tests need: a Binding Request with an optional
CHANGE-REQUEST, and the address attributes of the Binding Response.
Run as a script inside a lab host to query a server by hand:
    python3 stun_probe.py 203.0.113.1 3478 [--change-ip] [--change-port]
"""

import os
import select
import socket
import struct
import sys
import time

BINDING_REQUEST = 0x0001
BINDING_RESPONSE = 0x0101
MAPPED_ADDRESS = 0x0001
CHANGE_REQUEST = 0x0003
SOURCE_ADDRESS = 0x0004
CHANGED_ADDRESS = 0x0005
CHANGE_IP = 0x04
CHANGE_PORT = 0x02
# RFC 5389 servers treat a request whose id starts with this as the new protocol.
MAGIC_COOKIE = b"\x21\x12\xa4\x42"
ADDRESS_NAMES = {MAPPED_ADDRESS: "mapped", SOURCE_ADDRESS: "source", CHANGED_ADDRESS: "changed"}


def new_transaction_id():
    while True:
        tid = os.urandom(16)
        if not tid.startswith(MAGIC_COOKIE):
            return tid


def binding_request(tid, change_ip=False, change_port=False):
    """20-byte header (RFC 3489 section 11.1), plus CHANGE-REQUEST when asked."""
    attrs = b""
    flags = (CHANGE_IP if change_ip else 0) | (CHANGE_PORT if change_port else 0)
    if flags:
        attrs = struct.pack("!HHI", CHANGE_REQUEST, 4, flags)
    return struct.pack("!HH", BINDING_REQUEST, len(attrs)) + tid + attrs


def _address(value):
    # Section 11.2.1: reserved byte, family 0x01, port, IPv4 address.
    if len(value) != 8 or value[1] != 0x01:
        raise ValueError("not an IPv4 address attribute")
    port = struct.unpack("!H", value[2:4])[0]
    return socket.inet_ntoa(value[4:8]), port


def parse_response(data, tid):
    """{'mapped': (ip, port), 'source': ..., 'changed': ...} of a Binding
    Response to tid; None for any other datagram."""
    if len(data) < 20:
        return None
    kind, length = struct.unpack("!HH", data[:4])
    if kind != BINDING_RESPONSE or data[4:20] != tid or 20 + length > len(data):
        return None
    found, pos, end = {}, 20, 20 + length
    while pos + 4 <= end:
        attr, size = struct.unpack("!HH", data[pos:pos + 4])
        value = data[pos + 4:pos + 4 + size]
        if attr in ADDRESS_NAMES:
            found[ADDRESS_NAMES[attr]] = _address(value)
        pos += 4 + size + (-size % 4)
    return found if "mapped" in found else None


def query(sock, server, change_ip=False, change_port=False, timeout=2.0):
    """Sends one Binding Request from sock; returns the parsed answer, with
    'from' = the address it came from, or None after timeout seconds."""
    tid = new_transaction_id()
    sock.sendto(binding_request(tid, change_ip, change_port), server)
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            return None
        data, sender = sock.recvfrom(2048)
        answer = parse_response(data, tid)
        if answer is not None:
            answer["from"] = sender
            return answer


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 2:
        raise SystemExit("usage: stun_probe.py SERVER PORT [--change-ip] [--change-port]")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        answer = query(sock, (args[0], int(args[1])), "--change-ip" in argv,
                       "--change-port" in argv)
    if answer is None:
        raise SystemExit("no answer")
    for key in ("mapped", "source", "changed", "from"):
        if key in answer:
            print("%s %s:%d" % (key, *answer[key]))


if __name__ == "__main__":
    main(sys.argv[1:])
