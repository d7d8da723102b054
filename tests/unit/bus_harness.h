// Test helpers for the bus: a private ubusd, stand-in reaping,
// captured standard output, polling with a deadline. Header-only so each test
// program stays one file.
#pragma once

#include <libubus.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace bus_test {

// Directory of the tools: TARN_BIN (a cross build's tests take the host's),
// else the test program's own, as they are built next to it.
inline std::string bin_dir() {
    if (const char *bin = getenv("TARN_BIN")) return bin;
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    std::string s(buf, n);
    return s.substr(0, s.rfind('/'));
}

// Polls cond every few milliseconds until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()> &cond, int seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
}

inline size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// A scratch directory on the sandbox's private /run.
struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/run/bus-test-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~temp_dir() {
        if (!path.empty()) (void)!system(("rm -rf " + path).c_str());
    }
};

inline pid_t spawn(const std::vector<std::string> &args, const std::string &out) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Runs a command to its end; its exit status, or -1.
inline int run(const std::vector<std::string> &args, const std::string &out = "/dev/null") {
    pid_t pid = spawn(args, out);
    int st;
    if (pid < 0) return -1;
    pid_t done;
    // libubus's uloop catches SIGCHLD without SA_RESTART once a context exists.
    while ((done = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
    }
    if (done != pid || !WIFEXITED(st)) return -1;
    return WEXITSTATUS(st);
}

inline bool can_connect(const std::string &sock) {
    ubus_context *ctx = ubus_connect(sock.c_str());
    if (!ctx) return false;
    ubus_free(ctx);
    return true;
}

// ubusd's socket since 2020, the library's default.
const char *const kDefaultSocket = "/var/run/ubus/ubus.sock";

// OpenWrt's ubusd on sock, from start until destruction; output to /run/ubusd.out.
struct bus_daemon {
    std::string sock;
    pid_t pid = -1;
    explicit bus_daemon(const std::string &s = kDefaultSocket) : sock(s) {
        pid = spawn({bin_dir() + "/ubusd", "-s", sock}, "/run/ubusd.out");
        if (pid > 0 && !wait_until([&] { return can_connect(sock); })) stop();
    }
    bool up() const { return pid > 0; }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~bus_daemon() { stop(); }
};

// Stand-ins detach from whoever starts them; as subreaper this process
// inherits them and can tell that they are gone.
inline void become_subreaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

inline std::vector<pid_t> children() {
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc/self/task");
    if (!d) return pids;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/children");
        for (pid_t p; f >> p;) pids.push_back(p);
    }
    closedir(d);
    return pids;
}

// Waits for every child to exit; kills and reports those that do not.
inline bool reap_children(int seconds = 10) {
    bool ok = wait_until(
        [] {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return children().empty();
        },
        seconds);
    if (!ok) {
        for (pid_t p : children()) kill(p, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
    }
    return ok;
}

// Standard output (where LOG writes) sent to a file while in scope.
struct stdout_capture {
    std::string path;
    int saved = -1;
    explicit stdout_capture(const std::string &dir) : path(dir + "/stdout") {
        fflush(stdout);
        saved = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    std::string text() {
        fflush(stdout);
        return read_file(path);
    }
    ~stdout_capture() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

}  // namespace bus_test
