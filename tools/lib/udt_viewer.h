// The application side's UDT socket: the daemon's settings for sending,
// a viewer's for receiving. tarn-peer and the raw-UDT benchmark build their
// sockets here, so both receive alike.
#pragma once

// UDT's own receive defaults: 8192 segments of 1392 payload bytes (about
// 11 MB) and a window of 25600 packets, room for 20 MB/s at 100 ms RTT.
constexpr int UDT_VIEWER_WINDOW = 25600;
constexpr int UDT_VIEWER_RCVBUF = 8192 * (1420 - 28);

// A rendezvous UDT socket bound onto udp_fd (which it then owns), receiving
// with the viewer's window and buffer, or with the daemon's when
// device_options is set; a udp_rcvbuf above 0 sets the UDP receive buffer.
// Closing it lingers up to 30 s for unsent data. An mss above 0 replaces
// the daemon's 1420 in the handshake. -1 on failure (udp_fd is then still
// the caller's).
int udt_viewer_socket(int udp_fd, int udp_rcvbuf, bool device_options, int mss = 0);
