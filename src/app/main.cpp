// SPDX-License-Identifier: MIT
// Vantrel's window: measures how regularly a periodic clock fires here.
#include "qt_vantrel_app.h"

#include "platform.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Without a display Qt aborts with a message about platform plugins; say
// instead what a person can do about it.
bool displayAvailable(int argc, char *argv[])
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    }
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable(argc, argv)) {
        std::fprintf(stderr,
                     "vantrel: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                     "not set).\n"
                     "Start it from a desktop session or over 'ssh -X', or, to script it or take "
                     "a screenshot, on a virtual display:\n"
                     "    xvfb-run -a %s\n",
                     argv[0]);
        return 1;
    }

    platform::useSmallThreadStacks();
    QApplication a(argc, argv);
    Qt_Vantrel_App w;
    w.show();
    return a.exec();
}
