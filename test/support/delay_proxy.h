// A TCP proxy on loopback in front of a server on loopback that holds every
// chunk for a fixed time in each direction before passing it on: a slow
// network, or a server that takes that long to answer, for tests and
// benchmarks of what waits for what.  Chunks keep their order, and each is
// held for its own time from its arrival, so requests sent one after
// another without waiting stay that close together.  Each connection has a
// thread per direction that reads and one that writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavotest {

class DelayProxy {
  public:
    using Clock = std::chrono::steady_clock;

    // toServer and toClient: how long a chunk is held on its way there.
    DelayProxy(int serverPort, Clock::duration toClient, Clock::duration toServer = {})
        : serverPort_(serverPort), delay_{toServer, toClient} {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        if (listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
            listen(listener_, 64) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
            acceptor_ = std::thread([this] { acceptLoop(); });
        }
    }
    ~DelayProxy() {
        stop_ = true;
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &link : links_) {
            link->wake();
        }
        for (std::thread &thread : threads_) {
            thread.join();
        }
        for (auto &link : links_) {
            close(link->from);
        }
        close(listener_);
    }
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // 0 when the proxy could not listen.
    int port() const { return port_; }

  private:
    // One direction of one connection: chunks read from `from`, waiting
    // for their time to be written to `to`.
    struct Link {
        int from;
        int to;
        Clock::duration delay;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::pair<Clock::time_point, std::string>> chunks;
        bool done = false;
        void wake() {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            ready.notify_all();
        }
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
            for (int direction = 0; direction < 2; ++direction) {
                auto link = std::make_shared<Link>();
                link->from = direction == 0 ? client : server;
                link->to = direction == 0 ? server : client;
                link->delay = delay_[direction];
                links_.push_back(link);
                threads_.emplace_back([this, link] { readLoop(*link); });
                threads_.emplace_back([this, link] { writeLoop(*link); });
            }
        }
    }

    void readLoop(Link &link) {
        char buffer[65536];
        while (!stop_) {
            pollfd p = {link.from, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const ssize_t got = read(link.from, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            std::lock_guard<std::mutex> lock(link.mutex);
            link.chunks.emplace_back(Clock::now() + link.delay,
                                     std::string(buffer, static_cast<size_t>(got)));
            link.ready.notify_all();
        }
        link.wake();
    }

    // Writes each chunk at its time; at the end, shuts the other side's
    // sending down so that it sees the close.
    void writeLoop(Link &link) {
        std::unique_lock<std::mutex> lock(link.mutex);
        for (;;) {
            link.ready.wait(lock, [&] { return link.done || !link.chunks.empty(); });
            if (link.chunks.empty()) {
                break;
            }
            auto [due, data] = std::move(link.chunks.front());
            link.chunks.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(due);
            const bool written =
                write(link.to, data.data(), data.size()) == static_cast<ssize_t>(data.size());
            lock.lock();
            if (!written) {
                break;
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
    std::vector<std::shared_ptr<Link>> links_;
    std::vector<std::thread> threads_;
};

}  // namespace kavotest
