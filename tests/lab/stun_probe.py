"""A classic (RFC 3489) STUN binding request, to see that the lab's coturn
answers: query() returns the MAPPED-ADDRESS of the answer, or None."""

import os
import select
import socket
import struct
import time

BINDING_REQUEST, BINDING_RESPONSE, MAPPED_ADDRESS = 0x0001, 0x0101, 0x0001
# RFC 5389 servers treat a request whose id starts with this as the new protocol.
MAGIC_COOKIE = b"\x21\x12\xa4\x42"


def mapped_address(data, tid):
    """(ip, port) of MAPPED-ADDRESS in a Binding Response to tid, else None."""
    if len(data) < 20 or struct.unpack("!H", data[:2])[0] != BINDING_RESPONSE or \
            data[4:20] != tid:
        return None
    pos, end = 20, min(len(data), 20 + struct.unpack("!H", data[2:4])[0])
    while pos + 12 <= end:
        kind, size = struct.unpack("!HH", data[pos:pos + 4])
        if kind == MAPPED_ADDRESS and size == 8 and data[pos + 5] == 1:  # IPv4
            return socket.inet_ntoa(data[pos + 8:pos + 12]), \
                struct.unpack("!H", data[pos + 6:pos + 8])[0]
        pos += 4 + size + (-size % 4)
    return None


def query(sock, server, timeout=2.0):
    """One Binding Request from sock to server; its mapped address or None."""
    tid = MAGIC_COOKIE
    while tid.startswith(MAGIC_COOKIE):
        tid = os.urandom(16)
    sock.sendto(struct.pack("!HH", BINDING_REQUEST, 0) + tid, server)
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            return None
        answer = mapped_address(sock.recv(2048), tid)
        if answer is not None:
            return answer
