// Test helper: captures the daemon's log (standard output) while it lives.
//
// Design: the constructor points fd 1 at a pipe; a reader thread (consumer)
// appends everything written by any thread (producers: the code under test)
// to a buffer under `mu_` and signals `cv_`. The destructor restores fd 1,
// which closes the pipe and ends the reader.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

class StdoutCapture {
   public:
    StdoutCapture() {
        fflush(stdout);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        saved_ = dup(STDOUT_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        read_fd_ = fds[0];
        reader_ = std::thread([this] {
            char chunk[4096];
            for (ssize_t n; (n = read(read_fd_, chunk, sizeof(chunk))) != 0;) {
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) break;
                std::lock_guard<std::mutex> g(mu_);
                buf_.append(chunk, n);
                cv_.notify_all();
            }
        });
    }
    ~StdoutCapture() {
        if (read_fd_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        reader_.join();
        close(read_fd_);
        close(saved_);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    std::string text() {
        std::lock_guard<std::mutex> g(mu_);
        return buf_;
    }
    int count(const std::string &needle) {
        std::lock_guard<std::mutex> g(mu_);
        return count_locked(needle);
    }
    // Waits until everything written before this call has been read.
    bool sync() {
        std::string mark = "-- capture mark " + std::to_string(++marks_) + " --\n";
        fputs(mark.c_str(), stdout);
        fflush(stdout);
        return wait_for(mark);
    }
    // True once needle was logged at least n times; false after 30 s.
    bool wait_for(const std::string &needle, int n = 1) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(30),
                            [&] { return count_locked(needle) >= n; });
    }

   private:
    int count_locked(const std::string &needle) const {
        int n = 0;
        for (size_t pos = buf_.find(needle); pos != std::string::npos;
             pos = buf_.find(needle, pos + needle.size()))
            n++;
        return n;
    }

    int marks_ = 0;
    int read_fd_ = -1;
    int saved_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string buf_;
};
