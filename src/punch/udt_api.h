// Flat udt_* names over Debian's UDT4 library (namespace UDT, <udt/udt.h>).
// The rest of the daemon and tarn-peer use only these, never the C++ API.
//
// The library is started on the first udt_socket of the process and cleaned
// up at exit. Calls are thread-safe as far as UDT4's own are.
#pragma once

#include <sys/socket.h>

// UDT4's own option ids (level 0) for the options the daemon touches.
constexpr int UDT_OPT_MSS = 0;
constexpr int UDT_OPT_SNDSYN = 1;
constexpr int UDT_OPT_RCVSYN = 2;
constexpr int UDT_OPT_FC = 4;
constexpr int UDT_OPT_SNDBUF = 5;
constexpr int UDT_OPT_RCVBUF = 6;
constexpr int UDT_OPT_LINGER = 7;  // a struct linger
constexpr int UDT_OPT_UDP_SNDBUF = 8;
constexpr int UDT_OPT_UDP_RCVBUF = 9;
constexpr int UDT_OPT_RENDEZVOUS = 12;
constexpr int UDT_OPT_REUSEADDR = 15;
constexpr int UDT_OPT_STATE = 17;
constexpr int UDT_OPT_SNDDATA = 19;  // packets waiting in the send buffer
constexpr int UDT_OPT_RCVDATA = 20;  // bytes waiting to be received

// Socket states as udt_getsockstate and UDT_OPT_STATE report them.
constexpr int UDT_STATE_CONNECTING = 4;
constexpr int UDT_STATE_CONNECTED = 5;
constexpr int UDT_STATE_BROKEN = 6;
constexpr int UDT_STATE_CLOSED = 8;
constexpr int UDT_STATE_NONEXIST = 9;

// No data for a non-blocking receive.
constexpr int EASYNCRCV = 6002;

// A UDT socket, or -1.
int udt_socket(int af, int type, int protocol);
// Binds u onto an existing UDP socket, which u owns from then on (UDT closes
// it some time after u is closed). 0 or -1.
int udt_bind2(int u, int udp_fd);
// 0, or -1. Non-blocking when UDT_OPT_RCVSYN is 0.
int udt_connect(int u, const struct sockaddr *addr, int addrlen);
// Byte count, or -1.
int udt_send(int u, const char *buf, int len, int flags);
int udt_recv(int u, char *buf, int len, int flags);
// 0, or -1.
int udt_close(int u);
// Boolean options (SNDSYN, RCVSYN, RENDEZVOUS, REUSEADDR) travel as 4-byte
// ints here whatever UDT stores; every other option is passed through.
int udt_getsockopt(int u, int level, int optname, void *optval, int *optlen);
int udt_setsockopt(int u, int level, int optname, const void *optval, int optlen);
// One of the states above (UDT_STATE_NONEXIST for an unknown socket).
int udt_getsockstate(int u);
// Code of the calling thread's last UDT failure.
int udt_getlasterror_code();
