// SPDX-License-Identifier: MIT
// The window's memory during a run: the real window, offscreen unless a
// platform is given, runs "Win32 Periodic" at 1 ms with its 100 ms refresh
// for N seconds; VmRSS is sampled every second, and the peak (VmHWM) and
// VmRSS before Start, at 1 s and at the end are printed.
//
//   bench_window_memory [seconds, default 30]
//
// The worker binds UDP port 1667, so nothing else may hold it meanwhile.
#include "qt_vantrel_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A "Vm...:  1234 kB" line of /proc/self/status, in kB; -1 when absent.
long statusKb(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (seconds < 2) {
        std::fprintf(stderr, "usage: %s [seconds, 2 or more, default 30]\n", argv[0]);
        return 2;
    }

    Qt_Vantrel_App window;
    window.show();
    QCoreApplication::processEvents();
    window.findChild<QComboBox *>("clockMode")->setCurrentIndex(RtThread::WaitableTimerMode);
    window.findChild<QSpinBox *>("clockRate")->setValue(1);
    window.findChild<QCheckBox *>("sendUDP")->setChecked(
        false); // nothing sent: the figures are the window's own
    const long beforeStart = statusKb("VmRSS");
    window.findChild<QPushButton *>("startButton")->click();

    std::vector<long> samples; // VmRSS at 1 s, 2 s, ...
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&]() {
        samples.push_back(statusKb("VmRSS"));
        if (int(samples.size()) >= seconds)
            app.quit();
    });
    sampler.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % late
    sampler.start(1000);
    app.exec();

    const quint64 ticks = window.worker().statistics().tickCount;
    const bool portTaken = window.worker().lastRunEnd == RtThread::RunBindFailed;
    window.findChild<QPushButton *>("stopButton")->click();
    const long peak = statusKb("VmHWM");

    if (portTaken || ticks == 0) {
        std::fprintf(stderr, "bench_window_memory: the worker did not run%s\n",
                     portTaken ? " (UDP port 1667 is taken)" : "");
        return 1;
    }
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    std::printf("window, \"Win32 Periodic\" at 1 ms, %d s, %llu ticks\n", seconds,
                (unsigned long long)ticks);
    std::printf("VmRSS before Start %ld kB, at 1 s %ld kB, at %d s %ld kB\n", beforeStart,
                samples.front(), seconds, samples.back());
    std::printf("VmRSS over the %zu samples: %ld to %ld kB; VmHWM (peak) %ld kB\n", samples.size(),
                *low, *high, peak);
    return 0;
}
