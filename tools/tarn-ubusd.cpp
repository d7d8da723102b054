// tarn-ubusd [-s SOCKET]: the host system bus, in the foreground.
//
// One thread, one poll loop. Each client has a read buffer (at most one
// partial frame beyond what one read brings) and a bounded write queue; frames
// are handled as soon as they are whole. Objects belong to the client that
// added them and vanish with it. An invoke is relayed to the object's owner
// under a sequence number of the owner's own; the owner's DATA and STATUS
// frames carrying that number go back to the caller under the caller's. A
// client that sends a malformed frame, or does not read what it is sent, is
// dropped; the others never wait on it (all sockets are non-blocking).
#include "platform/ubus_proto.h"
#include "util/log.h"

#include <libubus.h>

#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

static constexpr char log_unit[] = "tarn-ubusd";

namespace {

constexpr size_t kMaxQueue = 8u << 20;
constexpr size_t kMaxClients = 1024;
constexpr size_t kMaxObjectsPerClient = 64;
constexpr size_t kMaxRelaysPerOwner = 1024;
// A call nobody answers is given up at the bus after this long, so a silent
// owner cannot pin memory for ever; callers normally time out much earlier.
constexpr int64_t kRelayLifetimeMs = 60000;

struct client {
    uint32_t id = 0;
    int fd = -1;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t out_off = 0;
    uint32_t relay_seq = 0;
    size_t n_objects = 0;
    size_t n_relays = 0;
    bool drop = false;
};

struct object {
    std::string path;
    uint32_t owner;
};

struct relay {
    uint32_t caller;
    uint32_t caller_seq;
    int64_t expires;
};

struct bus {
    int listen_fd = -1;
    uint32_t last_client = 0;
    uint32_t last_object = 0;
    std::map<uint32_t, std::unique_ptr<client>> clients;
    std::map<uint32_t, object> objects;
    std::map<std::string, uint32_t> paths;
    std::map<std::pair<uint32_t, uint32_t>, relay> relays;  // (owner, owner's seq)
};

volatile sig_atomic_t g_stop;

void on_signal(int) {
    g_stop = 1;
}

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void drop_client(client &c, const char *why) {
    if (c.drop) return;
    LOG("client %u dropped: %s", c.id, why);
    c.drop = true;
}

void flush(client &c) {
    while (!c.drop && c.out_off < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) drop_client(c, "write failed");
            return;
        }
        c.out_off += n;
    }
    if (c.out_off == c.out.size()) {
        c.out.clear();
        c.out_off = 0;
    }
}

void queue_frame(client &c, uint8_t type, uint32_t seq, blob_buf *b) {
    if (c.drop) return;
    uint32_t len = (uint32_t)blob_len(b->head);
    uint8_t hdr[BUS_HDR_LEN];
    bus_hdr_encode(hdr, type, seq, len);
    c.out.insert(c.out.end(), hdr, hdr + BUS_HDR_LEN);
    const uint8_t *p = (const uint8_t *)blob_data(b->head);
    c.out.insert(c.out.end(), p, p + len);
    if (c.out.size() - c.out_off > kMaxQueue) {
        drop_client(c, "not reading");
        return;
    }
    flush(c);
}

// RAII for the per-frame message buffer.
struct msg {
    blob_buf b = {};
    msg() { blob_buf_init(&b, 0); }
    ~msg() { blob_buf_free(&b); }
    msg(const msg &) = delete;
    msg &operator=(const msg &) = delete;
};

void send_status(client &c, uint32_t seq, int status, uint32_t objid = 0) {
    msg m;
    blob_put_u32(&m.b, BUS_ATTR_STATUS, (uint32_t)status);
    if (objid) blob_put_u32(&m.b, BUS_ATTR_OBJID, objid);
    queue_frame(c, BUS_MSG_STATUS, seq, &m.b);
}

client *find_client(bus &s, uint32_t id) {
    auto it = s.clients.find(id);
    if (it == s.clients.end() || it->second->drop) return nullptr;
    return it->second.get();
}

void remove_object(bus &s, uint32_t id) {
    auto it = s.objects.find(id);
    if (it == s.objects.end()) return;
    if (client *o = find_client(s, it->second.owner)) o->n_objects--;
    s.paths.erase(it->second.path);
    s.objects.erase(it);
}

void handle_invoke(bus &s, client &c, uint32_t seq, blob_attr **tb) {
    auto it = s.objects.find(blob_get_u32(tb[BUS_ATTR_OBJID]));
    client *owner = it == s.objects.end() ? nullptr : find_client(s, it->second.owner);
    if (!owner) {
        send_status(c, seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    if (owner->n_relays >= kMaxRelaysPerOwner) {
        send_status(c, seq, UBUS_STATUS_NO_MEMORY);
        return;
    }
    uint32_t rseq = ++owner->relay_seq;
    msg m;
    blob_put_u32(&m.b, BUS_ATTR_OBJID, it->first);
    blob_put_string(&m.b, BUS_ATTR_METHOD, blob_get_string(tb[BUS_ATTR_METHOD]));
    if (tb[BUS_ATTR_DATA])
        blob_put(&m.b, BUS_ATTR_DATA, blob_data(tb[BUS_ATTR_DATA]),
                 (unsigned)blob_len(tb[BUS_ATTR_DATA]));
    blob_put_u32(&m.b, BUS_ATTR_PEER, c.id);
    s.relays[{owner->id, rseq}] = relay{c.id, seq, now_ms() + kRelayLifetimeMs};
    owner->n_relays++;
    queue_frame(*owner, BUS_MSG_INVOKE, rseq, &m.b);
}

// DATA or STATUS from an owner: pass it to the caller of that call, if any.
void handle_reply(bus &s, client &c, uint8_t type, uint32_t seq, blob_attr **tb) {
    auto it = s.relays.find({c.id, seq});
    if (it == s.relays.end()) return;  // the call was given up already
    client *caller = find_client(s, it->second.caller);
    uint32_t caller_seq = it->second.caller_seq;
    if (type == BUS_MSG_STATUS) {
        s.relays.erase(it);
        c.n_relays--;
    }
    if (!caller) return;
    msg m;
    if (type == BUS_MSG_STATUS)
        blob_put_u32(&m.b, BUS_ATTR_STATUS, blob_get_u32(tb[BUS_ATTR_STATUS]));
    else
        blob_put(&m.b, BUS_ATTR_DATA, blob_data(tb[BUS_ATTR_DATA]),
                 (unsigned)blob_len(tb[BUS_ATTR_DATA]));
    queue_frame(*caller, type, caller_seq, &m.b);
}

// false when the frame is malformed.
bool handle_frame(bus &s, client &c, const bus_hdr &h, blob_attr **tb) {
    switch (h.type) {
        case BUS_MSG_LOOKUP: {
            if (!tb[BUS_ATTR_OBJPATH]) return false;
            auto it = s.paths.find(blob_get_string(tb[BUS_ATTR_OBJPATH]));
            if (it == s.paths.end())
                send_status(c, h.seq, UBUS_STATUS_NOT_FOUND);
            else
                send_status(c, h.seq, UBUS_STATUS_OK, it->second);
            return true;
        }
        case BUS_MSG_ADD_OBJECT: {
            if (!tb[BUS_ATTR_OBJPATH]) return false;
            std::string path = blob_get_string(tb[BUS_ATTR_OBJPATH]);
            if (s.paths.count(path)) {
                send_status(c, h.seq, UBUS_STATUS_INVALID_ARGUMENT);
            } else if (c.n_objects >= kMaxObjectsPerClient) {
                send_status(c, h.seq, UBUS_STATUS_NO_MEMORY);
            } else {
                uint32_t id = ++s.last_object;
                s.objects[id] = object{path, c.id};
                s.paths[path] = id;
                c.n_objects++;
                LOG("client %u added object %s (%u)", c.id, path.c_str(), id);
                send_status(c, h.seq, UBUS_STATUS_OK, id);
            }
            return true;
        }
        case BUS_MSG_REMOVE_OBJECT: {
            if (!tb[BUS_ATTR_OBJID]) return false;
            uint32_t id = blob_get_u32(tb[BUS_ATTR_OBJID]);
            auto it = s.objects.find(id);
            if (it == s.objects.end() || it->second.owner != c.id) {
                send_status(c, h.seq, UBUS_STATUS_NOT_FOUND);
            } else {
                remove_object(s, id);
                send_status(c, h.seq, UBUS_STATUS_OK);
            }
            return true;
        }
        case BUS_MSG_INVOKE:
            if (!tb[BUS_ATTR_OBJID] || !tb[BUS_ATTR_METHOD]) return false;
            handle_invoke(s, c, h.seq, tb);
            return true;
        case BUS_MSG_DATA:
            if (!tb[BUS_ATTR_DATA]) return false;
            handle_reply(s, c, h.type, h.seq, tb);
            return true;
        case BUS_MSG_STATUS:
            if (!tb[BUS_ATTR_STATUS]) return false;
            handle_reply(s, c, h.type, h.seq, tb);
            return true;
        default:
            return false;
    }
}

void read_client(bus &s, client &c) {
    uint8_t buf[65536];
    ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        c.drop = true;  // gone, nothing to report
        return;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    size_t off = 0;
    while (!c.drop && c.in.size() - off >= BUS_HDR_LEN) {
        bus_hdr h;
        if (bus_hdr_decode(c.in.data() + off, &h) < 0) {
            drop_client(c, "bad frame header");
            break;
        }
        if (c.in.size() - off < BUS_HDR_LEN + (size_t)h.len) break;
        blob_attr *tb[BUS_ATTR_LAST];
        // The payload starts 4-byte aligned only by luck; parse an aligned copy.
        std::vector<uint8_t> payload(c.in.begin() + off + BUS_HDR_LEN,
                                     c.in.begin() + off + BUS_HDR_LEN + h.len);
        off += BUS_HDR_LEN + h.len;
        if (bus_payload_parse(payload.data(), h.len, tb) < 0 || !handle_frame(s, c, h, tb)) {
            drop_client(c, "malformed frame");
            break;
        }
    }
    c.in.erase(c.in.begin(), c.in.begin() + off);
}

void accept_clients(bus &s) {
    for (;;) {
        int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (s.clients.size() >= kMaxClients) {
            close(fd);
            continue;
        }
        auto c = std::make_unique<client>();
        c->id = ++s.last_client;
        c->fd = fd;
        msg m;
        blob_put_u32(&m.b, BUS_ATTR_PEER, c->id);
        queue_frame(*c, BUS_MSG_HELLO, 0, &m.b);
        s.clients[c->id] = std::move(c);
    }
}

// Removes dropped clients with their objects and calls.
void reap(bus &s) {
    for (auto it = s.clients.begin(); it != s.clients.end();) {
        client &c = *it->second;
        if (!c.drop) {
            ++it;
            continue;
        }
        for (auto o = s.objects.begin(); o != s.objects.end();) {
            if (o->second.owner == c.id) {
                LOG("object %s (%u) removed", o->second.path.c_str(), o->first);
                s.paths.erase(o->second.path);
                o = s.objects.erase(o);
            } else {
                ++o;
            }
        }
        for (auto r = s.relays.begin(); r != s.relays.end();) {
            if (r->first.first == c.id) {
                if (client *caller = find_client(s, r->second.caller))
                    send_status(*caller, r->second.caller_seq, UBUS_STATUS_NO_DATA);
                r = s.relays.erase(r);
            } else if (r->second.caller == c.id) {
                if (client *owner = find_client(s, r->first.first)) owner->n_relays--;
                r = s.relays.erase(r);
            } else {
                ++r;
            }
        }
        close(c.fd);
        it = s.clients.erase(it);
    }
}

// Gives up calls whose owner never answered; returns the poll time-out.
int expire_relays(bus &s) {
    if (s.relays.empty()) return -1;
    int64_t now = now_ms(), next = INT64_MAX;
    for (auto r = s.relays.begin(); r != s.relays.end();) {
        if (r->second.expires <= now) {
            if (client *caller = find_client(s, r->second.caller))
                send_status(*caller, r->second.caller_seq, UBUS_STATUS_TIMEOUT);
            if (client *owner = find_client(s, r->first.first)) owner->n_relays--;
            r = s.relays.erase(r);
        } else {
            next = std::min(next, r->second.expires);
            ++r;
        }
    }
    return next == INT64_MAX ? -1 : (int)(next - now);
}

int open_listener(const char *path) {
    struct sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(sun.sun_path)) {
        LOG("socket path too long: %s", path);
        return -1;
    }
    memcpy(sun.sun_path, path, strlen(path) + 1);
    // A live daemon keeps its socket; only a stale one is replaced.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, (struct sockaddr *)&sun, sizeof(sun)) == 0) {
        close(probe);
        LOG("a bus daemon is already listening on %s", path);
        return -1;
    }
    if (probe >= 0) close(probe);
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&sun, sizeof(sun)) < 0 || listen(fd, 128) < 0) {
        LOG("cannot listen on %s: %s", path, strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

void usage(FILE *f) {
    fprintf(f, "usage: tarn-ubusd [-s SOCKET]\n");
}

}  // namespace

int main(int argc, char **argv) {
    const char *path = UBUS_UNIX_SOCKET;
    int opt;
    while ((opt = getopt(argc, argv, "s:h")) != -1) {
        switch (opt) {
            case 's':
                path = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Signals are let in only while waiting in ppoll, so none is missed.
    sigset_t block, waitmask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    sigdelset(&waitmask, SIGINT);
    sigdelset(&waitmask, SIGTERM);

    bus s;
    s.listen_fd = open_listener(path);
    if (s.listen_fd < 0) return 1;
    LOG("listening on %s", path);

    std::vector<pollfd> pfds;
    std::vector<client *> who;
    while (!g_stop) {
        int timeout = expire_relays(s);
        reap(s);
        pfds.assign(1, pollfd{s.listen_fd, POLLIN, 0});
        who.assign(1, nullptr);
        for (auto &kv : s.clients) {
            client &c = *kv.second;
            short ev = POLLIN;
            if (c.out_off < c.out.size()) ev |= POLLOUT;
            pfds.push_back(pollfd{c.fd, ev, 0});
            who.push_back(&c);
        }
        struct timespec ts, *tsp = nullptr;
        if (timeout >= 0) {
            ts.tv_sec = timeout / 1000;
            ts.tv_nsec = (long)(timeout % 1000) * 1000000;
            tsp = &ts;
        }
        int n = ppoll(pfds.data(), pfds.size(), tsp, &waitmask);
        if (n < 0) {
            if (errno == EINTR) continue;
            LOG("poll failed: %s", strerror(errno));
            break;
        }
        if (pfds[0].revents & POLLIN) accept_clients(s);
        for (size_t i = 1; i < pfds.size(); i++) {
            client &c = *who[i];
            if (c.drop) continue;
            if (pfds[i].revents & POLLOUT) flush(c);
            if (pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_client(s, c);
        }
    }

    for (auto &kv : s.clients) close(kv.second->fd);
    close(s.listen_fd);
    unlink(path);
    LOG("stopped");
    return 0;
}
