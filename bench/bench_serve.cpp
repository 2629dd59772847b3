// SPDX-License-Identifier: MIT
// A burst of scrapers on loopback: N connections that each ask for
// GET /metrics, read the answer to its end, and ask again on a fresh
// connection, for a set time; beside them a probe that times one scrape
// every 100 ms. Prints what was answered and how long the probe waited.
//
// usage: bench_serve PORT [CONNECTIONS=200] [SECONDS=10]
// Sends only to 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char Request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Connection
{
    int fd = -1;
    bool sent = false;
    std::string answer;
};

// Opens a non-blocking connection; false if even that failed.
bool open(Connection &connection, const sockaddr_in &address)
{
    connection = Connection();
    connection.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connection.fd < 0)
        return false;
    const int result =
        connect(connection.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    return result == 0 || errno == EINPROGRESS;
}

// One timed scrape on a blocking connection: milliseconds, or -1.
double probe(const sockaddr_in &address)
{
    const auto start = Clock::now();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        send(fd, Request, sizeof Request - 1, MSG_NOSIGNAL) > 0) {
        char buffer[8192];
        ssize_t got = 0;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, size_t(got));
    }
    close(fd);
    if (answer.rfind("HTTP/1.1 200", 0) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [CONNECTIONS=200] [SECONDS=10]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 200;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    if (port <= 0 || port > 65535 || count <= 0 || seconds <= 0) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }
    const sockaddr_in address = loopback(port);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);

    std::atomic<bool> done{false};
    std::vector<double> probes;
    int probesFailed = 0;
    std::thread prober([&] {
        while (!done.load()) {
            const double ms = probe(address);
            if (ms < 0)
                ++probesFailed;
            else
                probes.push_back(ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    std::vector<Connection> connections(static_cast<size_t>(count));
    long answered = 0;
    long failed = 0;
    for (Connection &connection : connections) {
        if (!open(connection, address))
            ++failed;
    }
    std::vector<pollfd> polled(connections.size());
    char buffer[16384];
    while (Clock::now() < end) {
        for (size_t i = 0; i < connections.size(); ++i) {
            if (connections[i].fd < 0 && !open(connections[i], address))
                ++failed;
            polled[i] = {connections[i].fd, short(connections[i].sent ? POLLIN : POLLOUT), 0};
        }
        if (poll(polled.data(), polled.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection &connection = connections[i];
            if (polled[i].revents == 0 || connection.fd < 0)
                continue;
            bool finished = false;
            bool good = false;
            if (!connection.sent) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0 &&
                    send(connection.fd, Request, sizeof Request - 1, MSG_NOSIGNAL) > 0)
                    connection.sent = true;
                else
                    finished = true;
            } else {
                const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    connection.answer.append(buffer, size_t(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    finished = true;
                    good = got == 0 && connection.answer.rfind("HTTP/1.1 200", 0) == 0;
                }
            }
            if (finished) {
                close(connection.fd);
                connection.fd = -1;
                ++(good ? answered : failed);
            }
        }
    }
    for (Connection &connection : connections) {
        if (connection.fd >= 0)
            close(connection.fd);
    }
    done = true;
    prober.join();

    std::sort(probes.begin(), probes.end());
    const auto at = [&](double q) {
        return probes.empty() ? -1.0 : probes[size_t(q * double(probes.size() - 1))];
    };
    std::printf("connections %d for %.1f s: %ld scrapes answered (%.0f/s), %ld failed\n", count,
                seconds, answered, double(answered) / seconds, failed);
    const auto slow =
        std::count_if(probes.begin(), probes.end(), [](double ms) { return ms > 900; });
    std::printf("probe, one scrape every 100 ms: %zu answered, %d failed; median %.2f ms, "
                "p90 %.2f ms, max %.2f ms; %ld over 0.9 s\n",
                probes.size(), probesFailed, at(0.5), at(0.9), at(1.0), long(slow));
    return 0;
}
