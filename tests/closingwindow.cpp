// SPDX-License-Identifier: MIT
// The window as main() runs it, for tst_windowstress: Start with the clock
// given (mode and period in ms), and once the run has ticked, close the
// window like a person would. Prints the moment of the close on the monotonic
// clock, which the test compares with the moment the process has ended.
#include "windowdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODE PERIOD_MS\n", argv[0]);
        return 2;
    }
    Qt_Vantrel_App w;
    w.show();
    start(w, defaultRun(std::atoi(argv[1]), std::atoi(argv[2])));

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (w.rtThread.statistics().tickCount < 20)
            return;
        poll.stop();
        QElapsedTimer now;
        now.start();
        std::printf("closing at %lld\n", now.msecsSinceReference());
        std::fflush(stdout);
        w.close();
    });
    poll.start(10);
    return a.exec();
}
