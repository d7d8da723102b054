"""Delay and loss for one link of the NAT lab: python3 lab_shaper.py QUEUE

The lab's kernels may lack sch_netem, so nat_lab sends a link's outgoing
packets to netfilter queue QUEUE (iptables -j NFQUEUE) and this process
gives each one its verdict: dropped with probability LOSS %, else accepted
DELAY ms after it was queued (in arrival order while the delay is steady).

Reads "DELAY_MS LOSS_PCT" lines on stdin and answers "ok" once the new
values apply to every packet queued from then on; prints "ready" once bound.
Only packet metadata is copied to us (NFQNL_COPY_META).
"""

import heapq
import os
import random
import select
import socket
import struct
import sys
import time

NETLINK_NETFILTER = 12
NETLINK_NO_ENOBUFS = 5
SOL_NETLINK = 270
NLM_F_REQUEST, NLM_F_ACK = 0x1, 0x4
NLMSG_ERROR = 2
NFNL_SUBSYS_QUEUE = 3
NFQNL_MSG_PACKET, NFQNL_MSG_VERDICT, NFQNL_MSG_CONFIG = 0, 1, 2
NFQA_CFG_CMD, NFQA_CFG_PARAMS, NFQA_CFG_QUEUE_MAXLEN = 1, 2, 3
NFQA_PACKET_HDR, NFQA_VERDICT_HDR = 1, 2
NFQNL_CFG_CMD_BIND = 1
NFQNL_COPY_META = 1
NF_DROP, NF_ACCEPT = 0, 1
QUEUE_MAXLEN = 10000  # packets held at once; more are dropped, like a full link


def attr(kind, payload):
    size = 4 + len(payload)
    return struct.pack("=HH", size, kind) + payload + b"\0" * (-size % 4)


class Queue:
    """One bound nfnetlink_queue."""

    def __init__(self, number):
        self.number = number
        self.seq = 0
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_NETFILTER)
        self.sock.bind((0, 0))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.setsockopt(SOL_NETLINK, NETLINK_NO_ENOBUFS, 1)
        self.request(NFQNL_MSG_CONFIG, attr(NFQA_CFG_CMD, struct.pack("!BxH", NFQNL_CFG_CMD_BIND, 0)))
        self.request(NFQNL_MSG_CONFIG, attr(NFQA_CFG_PARAMS, struct.pack("!IB", 0, NFQNL_COPY_META))
                     + attr(NFQA_CFG_QUEUE_MAXLEN, struct.pack("!I", QUEUE_MAXLEN)))

    def send(self, msg_type, attrs, flags=NLM_F_REQUEST):
        self.seq += 1
        body = struct.pack("!BBH", socket.AF_UNSPEC, 0, self.number) + attrs
        header = struct.pack("=IHHII", 16 + len(body), (NFNL_SUBSYS_QUEUE << 8) | msg_type,
                             flags, self.seq, 0)
        self.sock.send(header + body)

    def request(self, msg_type, attrs):
        """Sends a configuration message and checks the kernel's answer."""
        self.send(msg_type, attrs, NLM_F_REQUEST | NLM_F_ACK)
        data = self.sock.recv(65536)
        _, kind, _, _, _ = struct.unpack_from("=IHHII", data)
        error = struct.unpack_from("=i", data, 16)[0] if kind == NLMSG_ERROR else -1
        if error != 0:
            raise OSError(-error, "nfnetlink_queue configuration failed")

    def verdict(self, packet_id, verdict):
        self.send(NFQNL_MSG_VERDICT, attr(NFQA_VERDICT_HDR, struct.pack("!II", verdict, packet_id)))

    def packet_ids(self):
        """Ids of the packets in one read from the queue."""
        data = self.sock.recv(1 << 16)
        ids, pos = [], 0
        while pos + 16 <= len(data):
            size, kind = struct.unpack_from("=IH", data, pos)
            if size < 16:
                break
            if kind == (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET:
                ids += self._packet_id(data[pos + 20:pos + size])
            pos += (size + 3) & ~3
        return ids

    @staticmethod
    def _packet_id(attrs):
        pos = 0
        while pos + 4 <= len(attrs):
            size, kind = struct.unpack_from("=HH", attrs, pos)
            if size < 4:
                break
            if kind & 0x7fff == NFQA_PACKET_HDR:
                return [struct.unpack_from("!I", attrs, pos + 4)[0]]
            pos += (size + 3) & ~3
        return []


class Shaper:
    def __init__(self, queue):
        self.queue = queue
        self.delay, self.loss = 0.0, 0.0
        self.due = []  # (time, arrival number, packet id): FIFO among equal times
        self.arrivals = 0

    def take_packets(self):
        """Verdicts, now or later, for the packets waiting in the socket."""
        while select.select([self.queue.sock], [], [], 0)[0]:
            now = time.monotonic()
            for packet_id in self.queue.packet_ids():
                if random.uniform(0, 100) < self.loss:
                    self.queue.verdict(packet_id, NF_DROP)
                else:
                    self.arrivals += 1
                    heapq.heappush(self.due, (now + self.delay, self.arrivals, packet_id))

    def apply(self, line):
        # Packets already queued were sent under the old values.
        self.take_packets()
        delay_ms, loss_pct = line.split()
        self.delay, self.loss = float(delay_ms) / 1000.0, float(loss_pct)
        print("ok", flush=True)

    def release_due(self):
        now = time.monotonic()
        while self.due and self.due[0][0] <= now:
            self.queue.verdict(heapq.heappop(self.due)[2], NF_ACCEPT)

    def wait(self):
        timeout = max(0.0, self.due[0][0] - time.monotonic()) if self.due else None
        return select.select([self.queue.sock, sys.stdin.fileno()], [], [], timeout)[0]


def main():
    shaper = Shaper(Queue(int(sys.argv[1])))
    stdin = sys.stdin.fileno()
    print("ready", flush=True)
    while True:
        readable = shaper.wait()
        shaper.take_packets()
        if stdin in readable:
            text = os.read(stdin, 4096).decode()
            if not text:
                return  # the lab closed our stdin: tear-down
            for line in text.splitlines():
                shaper.apply(line)
        shaper.release_due()


if __name__ == "__main__":
    main()
