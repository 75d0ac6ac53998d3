// A TCP proxy on loopback in front of a server on loopback, which holds
// every chunk the server sends for a fixed time before passing it on: a
// server that takes that long to answer, for tests of what waits for what.
// Each connection is relayed by a thread of its own; what the client sends
// goes through at once.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace kavotest {

class DelayProxy {
  public:
    DelayProxy(int serverPort, std::chrono::milliseconds delay)
        : serverPort_(serverPort), delay_(delay) {
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
        for (std::thread &relay : relays_) {
            relay.join();
        }
        close(listener_);
    }
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // 0 when the proxy could not listen.
    int port() const { return port_; }

  private:
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
            relays_.emplace_back([this, client, server] { relay(client, server); });
        }
    }

    // Until either side closes or the proxy stops.
    void relay(int client, int server) {
        char buffer[65536];
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        bool open = true;
        while (open && !stop_) {
            if (poll(p, 2, 20) <= 0) {
                continue;
            }
            for (int side = 0; side < 2 && open; ++side) {
                if (p[side].revents == 0) {
                    continue;
                }
                const ssize_t got = read(p[side].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    open = false;
                    break;
                }
                if (side == 1) {
                    std::this_thread::sleep_for(delay_);
                }
                open = write(p[1 - side].fd, buffer, static_cast<size_t>(got)) == got;
            }
        }
        close(client);
        close(server);
    }

    int serverPort_;
    std::chrono::milliseconds delay_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> relays_;
};

}  // namespace kavotest
