// A TCP proxy on loopback in front of a server on loopback that holds every
// chunk for a fixed time in each direction before passing it on: a slow
// network, or a server that takes that long to answer, for tests and
// benchmarks of what waits for what.  Chunks keep their order, and each is
// held for its own time from its arrival, so requests sent one after
// another without waiting stay that close together.  Each direction of a
// connection has one thread that reads and writes: it sleeps in ppoll()
// until a chunk arrives or the first one held is due, with a timer slack
// of one nanosecond, so a chunk leaves within microseconds of its time and
// no hand-over between threads adds a wake-up of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavotest {

// A TCP socket listening on a port of loopback that the kernel chose
// (written to port), or -1.  Nobody accepting on it makes a server that
// takes connections and never says a word: the kernel completes the
// handshake.
inline int listenOnLoopback(int &port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

class DelayProxy {
  public:
    using Clock = std::chrono::steady_clock;

    // toServer and toClient: how long a chunk is held on its way there.
    DelayProxy(int serverPort, Clock::duration toClient, Clock::duration toServer = {})
        : serverPort_(serverPort), delay_{toServer, toClient} {
        listener_ = listenOnLoopback(port_);
        if (listener_ >= 0) {
            acceptor_ = std::thread([this] { acceptLoop(); });
        }
    }
    ~DelayProxy() {
        stop_ = true;
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::thread &thread : threads_) {
            thread.join();
        }
        for (const int fd : sockets_) {
            close(fd);
        }
        close(listener_);
    }
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // 0 when the proxy could not listen.
    int port() const { return port_; }

  private:
    // A wake-up from ppoll() comes up to about 100 us late on a busy
    // virtual machine: the last stretch before a chunk's time is waited by
    // reading the clock.
    static constexpr auto kSpin = std::chrono::microseconds(150);

    // One direction of one connection: what is read from `from` is written
    // to `to` once it has been held for `delay`.
    struct Link {
        int from;
        int to;
        Clock::duration delay;
    };

    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void acceptLoop() {
        while (!stop_) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = loopback(serverPort_);
            if (server < 0 ||
                connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                close(client);
                close(server);
                continue;
            }
            const int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::lock_guard<std::mutex> lock(mutex_);
            sockets_.push_back(client);
            sockets_.push_back(server);
            threads_.emplace_back([this, client, server] { relay({client, server, delay_[0]}); });
            threads_.emplace_back([this, client, server] { relay({server, client, delay_[1]}); });
        }
    }

    // Reads chunks as they come and writes each at its time; at the end of
    // the input, writes what is held and shuts the other side's sending
    // down so that it sees the close.
    void relay(Link link) {
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::deque<std::pair<Clock::time_point, std::string>> held;
        bool open = true;
        char buffer[65536];
        while (!stop_ && (open || !held.empty())) {
            auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(20));
            if (!held.empty()) {
                wait = std::max(std::chrono::nanoseconds(0),
                                held.front().first - kSpin - Clock::now());
            }
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
            const timespec timeout = {static_cast<time_t>(seconds.count()),
                                      static_cast<long>((wait - seconds).count())};
            pollfd p = {open ? link.from : -1, POLLIN, 0};
            if (ppoll(&p, 1, &timeout, nullptr) > 0) {
                const ssize_t got = read(link.from, buffer, sizeof buffer);
                if (got > 0) {
                    held.emplace_back(Clock::now() + link.delay,
                                      std::string(buffer, static_cast<size_t>(got)));
                } else {
                    open = false;
                }
            }
            if (!held.empty() && held.front().first - Clock::now() <= kSpin) {
                while (Clock::now() < held.front().first) {
                }
            }
            for (const auto now = Clock::now(); !held.empty() && held.front().first <= now;
                 held.pop_front()) {
                const std::string &data = held.front().second;
                if (write(link.to, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
                    open = false;
                    held.clear();
                    break;
                }
            }
        }
        shutdown(link.to, SHUT_WR);
    }

    int serverPort_;
    Clock::duration delay_[2];  // [0] towards the server, [1] towards the client
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_;
};

}  // namespace kavotest
