"""Delay and loss for one link of the NAT lab, the kernels lacking sch_netem:
python3 lab_shaper.py QUEUE gives each packet of netfilter queue QUEUE its
verdict, dropped with probability LOSS %, else accepted DELAY ms after it was
queued. Prints "ready" once bound; reads "DELAY_MS LOSS_PCT" lines and
answers "ok" once they apply to every packet queued from then on."""

import heapq
import os
import random
import select
import socket
import struct
import sys
import time

NETLINK_NETFILTER, NETLINK_NO_ENOBUFS, SOL_NETLINK = 12, 5, 270
NLM_F_REQUEST, NLM_F_ACK, NLMSG_ERROR = 0x1, 0x4, 2
NFNL_SUBSYS_QUEUE = 3
NFQNL_MSG_PACKET, NFQNL_MSG_VERDICT, NFQNL_MSG_CONFIG = 0, 1, 2
NFQA_CFG_CMD, NFQA_CFG_PARAMS, NFQA_CFG_QUEUE_MAXLEN = 1, 2, 3
NFQA_VERDICT_HDR = 2
NF_DROP, NF_ACCEPT = 0, 1
QUEUE_MAXLEN = 10000  # packets held at once; more are dropped, like a full link


def attr(kind, payload):
    size = 4 + len(payload)
    return struct.pack("=HH", size, kind) + payload + b"\0" * (-size % 4)


class Queue:
    """One bound nfnetlink_queue."""

    def __init__(self, number):
        self.number = number
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_NETFILTER)
        self.sock.bind((0, 0))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.setsockopt(SOL_NETLINK, NETLINK_NO_ENOBUFS, 1)
        self.configure(attr(NFQA_CFG_CMD, struct.pack("!BxH", 1, 0)))  # NFQNL_CFG_CMD_BIND
        self.configure(attr(NFQA_CFG_PARAMS, struct.pack("!IB", 0, 1))  # NFQNL_COPY_META
                       + attr(NFQA_CFG_QUEUE_MAXLEN, struct.pack("!I", QUEUE_MAXLEN)))

    def send(self, msg_type, attrs, flags=NLM_F_REQUEST):
        body = struct.pack("!BBH", socket.AF_UNSPEC, 0, self.number) + attrs
        self.sock.send(struct.pack("=IHHII", 16 + len(body), (NFNL_SUBSYS_QUEUE << 8) | msg_type,
                                   flags, 0, 0) + body)

    def configure(self, attrs):
        self.send(NFQNL_MSG_CONFIG, attrs, NLM_F_REQUEST | NLM_F_ACK)
        data = self.sock.recv(65536)
        kind = struct.unpack_from("=H", data, 4)[0]
        error = struct.unpack_from("=i", data, 16)[0] if kind == NLMSG_ERROR else -1
        if error != 0:
            raise OSError(-error, "nfnetlink_queue configuration failed")

    def verdict(self, packet_id, verdict):
        self.send(NFQNL_MSG_VERDICT, attr(NFQA_VERDICT_HDR, struct.pack("!II", verdict, packet_id)))

    def packet_ids(self):
        """Ids of the packets in one read from the queue."""
        data = self.sock.recv(1 << 16)
        pos = 0
        while pos + 16 <= len(data):
            size, kind = struct.unpack_from("=IH", data, pos)
            if size < 16:
                return
            if kind == (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET:
                # The kernel puts NFQA_PACKET_HDR (packet id first) first.
                yield struct.unpack_from("!I", data, pos + 24)[0]
            pos += (size + 3) & ~3


def main():
    queue = Queue(int(sys.argv[1]))
    stdin = sys.stdin.fileno()
    delay, loss = 0.0, 0.0
    due = []  # (time, arrival number, packet id): FIFO among equal times
    arrivals = 0

    def take_packets():
        nonlocal arrivals
        while select.select([queue.sock], [], [], 0)[0]:
            now = time.monotonic()
            for packet_id in list(queue.packet_ids()):
                if random.uniform(0, 100) < loss:
                    queue.verdict(packet_id, NF_DROP)
                else:
                    arrivals += 1
                    heapq.heappush(due, (now + delay, arrivals, packet_id))

    print("ready", flush=True)
    while True:
        timeout = max(0.0, due[0][0] - time.monotonic()) if due else None
        readable = select.select([queue.sock, stdin], [], [], timeout)[0]
        take_packets()
        if stdin in readable:
            text = os.read(stdin, 4096).decode()
            if not text:
                return  # the lab closed our stdin: tear-down
            for line in text.splitlines():
                # Packets already queued were sent under the old values.
                take_packets()
                delay, loss = float(line.split()[0]) / 1000.0, float(line.split()[1])
                print("ok", flush=True)
        now = time.monotonic()
        while due and due[0][0] <= now:
            queue.verdict(heapq.heappop(due)[2], NF_ACCEPT)


if __name__ == "__main__":
    main()
