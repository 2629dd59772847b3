// SPDX-License-Identifier: MIT
// What tests ask of the process and the machine around a worker: who holds
// the port, which thread is the worker and how it is scheduled, what the
// kernel counted.
#pragma once

#include "platform.h"

#include <QString>
#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <sys/types.h>
#endif

// Whether loopback is the only interface here: the condition for feeding
// malformed target addresses to anything that sends.
bool onlyLoopback();

#ifdef Q_OS_LINUX
// Bytes waiting in the receive queue of whatever socket holds the worker's
// port, or -1 when none does. Asks the kernel's socket tables, which takes
// the port from nobody and cannot race a worker about to bind.
qint64 portReceiveQueue();
inline bool portInUse()
{
    return portReceiveQueue() >= 0;
}
inline bool portIsFree()
{
    return !portInUse();
}

// The worker's thread, by the name QThread gives it from the class name.
pid_t workerTid();

// Whether this process may use SCHED_FIFO (root, or CAP_SYS_NICE, or an
// rtprio limit above 0).
bool fifoPermitted();

// Whether this process may lock all its memory without limit (CAP_IPC_LOCK
// in its effective set, or an unlimited RLIMIT_MEMLOCK, and mlockall agrees
// in a child), and whether it may write /dev/cpu_dma_latency; asked of the
// kernel directly, not of the OS layer.
bool memoryLockPermitted();
bool powerStateHoldPermitted();
// Locked memory of this process, in kB (VmLck).
qint64 lockedKb();

// How the scheduler runs a thread (0: the calling one), in the OS layer's
// terms, and in short: "FIFO 99", "OTHER nice -20", "IDLE".
platform::ThreadScheduling threadScheduling(pid_t tid);
QString scheduling(pid_t tid);
// Whether the threads and processes it starts begin without its realtime
// policy (SCHED_RESET_ON_FORK).
bool resetsOnFork(pid_t tid);
QString topFifo();

// UDP sends this network namespace has seen, to any address, over IPv4 and
// IPv6: sent datagrams and those refused for want of a route.
qint64 udpSendsSeen();

// Resident memory of this process, in kB.
qint64 residentKb();
#endif
