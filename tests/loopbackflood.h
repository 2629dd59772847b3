// A sender of 64-byte datagrams to 127.0.0.1:UdpPort, as fast as one thread
// can, from construction until stop(). POSIX sockets: Linux only.
#pragma once

#include "engine/rtthread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

class LoopbackFlood
{
public:
    // On the CPU given, or wherever the scheduler puts it (-1).
    explicit LoopbackFlood(int cpu = -1) : thread([this, cpu] { send(cpu); }) { }
    ~LoopbackFlood() { stop(); }

    // Stops the sender; returns the datagrams it sent.
    qint64 stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
        return sent;
    }

private:
    void send(int cpu)
    {
        // Threads started during a run inherit the realtime scheduling that
        // Start gave the process; a sender is an ordinary program.
        const sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        if (cpu >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(RtThread::UdpPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char payload[64] = {};
        while (running) {
            if (::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to),
                         sizeof to) == qint64(sizeof payload))
                ++sent;
        }
        ::close(fd);
    }

    std::atomic<bool> running{true};
    std::atomic<qint64> sent{0};
    std::thread thread;
};
