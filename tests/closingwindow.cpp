// SPDX-License-Identifier: MIT
// The window as main() runs it, for tst_windowstress: Start with the clock
// given (mode and period in ms), and once the run has ticked, close the
// window like a person would. Prints the moment of the close on the monotonic
// clock, which the test compares with the moment the process has ended.
// With "stuck" after them, the worker runs on the fake OS and its waits hang
// at the 20th tick, beyond the reach of termination.
#include "fakeos.h"
#include "windowdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s MODE PERIOD_MS [stuck]\n", argv[0]);
        return 2;
    }
    platform::FakeOs fake;
    if (argc == 4) {
        fake.scriptWaits(std::vector<std::int64_t>(30, 1000000)); // hangs after tick 20
        fake.setHangOutlivesTermination(true);
        platform::install(&fake);
    }
    Qt_Vantrel_App w;
    w.show();
    start(w, defaultRun(std::atoi(argv[1]), std::atoi(argv[2])));

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (w.worker().statistics().tickCount < 20)
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
