"""A hostile STUN server beside the lab's coturn: python3 hostile_stun.py

In the lab's stun host it sees every Binding Request reaching coturn (a
packet socket on eth0) and answers first with what a broken, lying or
flooding server or a stranger on the path would send (hostile_answers).
Whatever true it says carries the mapping coturn will give, so only a client
that takes a lie or chokes on junk gets a wrong result. Its packets carry
mark 1, so a delay on the host's other traffic (coturn's) lets it answer
first. Prints "ready" once listening and "answered N" per request.
"""

import os
import socket
import struct
import sys

ETH_P_IP = 0x0800
BINDING_REQUEST, BINDING_RESPONSE, BINDING_ERROR = 0x0001, 0x0101, 0x0111
MAPPED, SOURCE, CHANGED, ERROR_CODE, SOFTWARE = 0x0001, 0x0004, 0x0005, 0x0009, 0x8022
STUN_ADDRS, STUN_PORTS = ("203.0.113.1", "203.0.113.2"), (3478, 3479, 13478, 13479)
ALT_PORT = 3479
LIE, FLOOD, MARK = ("6.6.6.6", 666), 50, 1


def attr(kind, value):
    return struct.pack("!HH", kind, len(value)) + value + b"\0" * (-len(value) % 4)


def address(ip, port, family=1):
    if family == 2:
        return struct.pack("!BBH", 0, 2, port) + bytes(16)
    return struct.pack("!BBH", 0, 1, port) + socket.inet_aton(ip)


def message(kind, tid, attrs, length=None):
    body = b"".join(attrs)
    return struct.pack("!HH", kind, len(body) if length is None else length) + tid + body


def hostile_answers(tid, client, server):
    """(spoofed source, or None for another port of the host, payload) pairs."""
    alt = (STUN_ADDRS[1] if server[0] == STUN_ADDRS[0] else STUN_ADDRS[0], ALT_PORT)
    true_mapped = attr(MAPPED, address(*client))
    lie = attr(MAPPED, address(*LIE))
    changed = attr(CHANGED, address(*alt))
    other_tid = tid[:1] + os.urandom(15)
    full = message(BINDING_RESPONSE, tid, [lie, changed])
    out = [
        message(BINDING_ERROR, tid, [attr(ERROR_CODE, b"\0\0\x04\x00Bad Request"), lie, changed]),
        message(BINDING_RESPONSE, tid, [attr(MAPPED, address("::", LIE[1], 2)), changed]),
        message(BINDING_RESPONSE, tid, [attr(SOURCE, address(*server)), changed]),
        message(BINDING_RESPONSE, tid, [true_mapped]),
        full[:-4],                                   # shorter than its header says
        full + bytes(1300),                          # longer than tarn reads (1023)
        message(BINDING_RESPONSE, tid, [attr(SOFTWARE, b"hostile 1.0"), true_mapped, changed]),
        message(BINDING_RESPONSE, other_tid, [lie, changed]),
        message(BINDING_RESPONSE, tid, [attr(MAPPED, address(*LIE)), changed], length=2000),
    ]
    out = [(server, p) for p in out]
    out += [(server, os.urandom(20 + n % 60)) for n in range(FLOOD)]
    out.append((None, full))  # right id, wrong source
    return out


def udp_packet(src, dst, payload):
    """IPv4 + UDP, checksum 0 (none); the kernel fills IP length and checksum."""
    udp = struct.pack("!HHHH", src[1], dst[1], 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src[0]), socket.inet_aton(dst[0]))
    return ip + udp


def parse_request(frame):
    """(tid, client, server) of a Binding Request to one of our endpoints."""
    if len(frame) < 28 or frame[0] >> 4 != 4 or frame[9] != socket.IPPROTO_UDP:
        return None
    ihl = (frame[0] & 0x0F) * 4
    src, dst = socket.inet_ntoa(frame[12:16]), socket.inet_ntoa(frame[16:20])
    sport, dport = struct.unpack("!HH", frame[ihl:ihl + 4])
    stun = frame[ihl + 8:]
    if dst not in STUN_ADDRS or dport not in STUN_PORTS or len(stun) < 20:
        return None
    if struct.unpack("!H", stun[:2])[0] != BINDING_REQUEST:
        return None
    return stun[4:20], (src, sport), (dst, dport)


def main():
    sniff = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
    sniff.bind(("eth0", ETH_P_IP))
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_MARK, MARK)
    side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    side.setsockopt(socket.SOL_SOCKET, socket.SO_MARK, MARK)
    side.bind((STUN_ADDRS[0], 4000))
    print("ready", flush=True)
    while True:
        frame, meta = sniff.recvfrom(65535)
        if meta[2] != socket.PACKET_HOST:
            continue
        request = parse_request(frame)
        if request is None:
            continue
        tid, client, server = request
        sent = 0
        for source, payload in hostile_answers(tid, client, server):
            if source is None:
                side.sendto(payload, client)
            else:
                raw.sendto(udp_packet(source, client, payload), (client[0], 0))
            sent += 1
        print("answered %d" % sent, flush=True)


if __name__ == "__main__":
    sys.exit(main())
