// kavo-delay-proxy SERVER_PORT TO_CLIENT_US [TO_SERVER_US]: the DelayProxy
// of delay_proxy.h as a program, for the benchmarks.  Listens on a port of
// loopback that it prints on its first line, and runs until its standard
// input closes (so that it ends with whoever started it).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "test/support/delay_proxy.h"

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: kavo-delay-proxy SERVER_PORT TO_CLIENT_US [TO_SERVER_US]\n");
        return 2;
    }
    const auto us = [](const char *text) { return std::chrono::microseconds(std::atol(text)); };
    kavotest::DelayProxy proxy(std::atoi(argv[1]), us(argv[2]),
                               argc == 4 ? us(argv[3]) : std::chrono::microseconds(0));
    if (proxy.port() == 0) {
        std::perror("kavo-delay-proxy: cannot listen");
        return 1;
    }
    std::printf("%d\n", proxy.port());
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
