// SPDX-License-Identifier: MIT
// vantrel-cli: one measurement with Vantrel's worker and report, no window.
#include "headlessrun.h"
#include "platform.h"
#include "runoptions.h"
#include "vantrelversion.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Before any thread exists, so that every later thread inherits it.
    platform::catchStopRequests();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vantrel-cli");
    QCoreApplication::setApplicationVersion(VantrelVersion);
    QTextStream out(stdout);
    QTextStream err(stderr);

    RunOptions options;
    switch (options.parse(QCoreApplication::arguments())) {
    case RunOptions::ShowHelp:
        out << RunOptions::helpText() << Qt::flush;
        return 0;
    case RunOptions::ShowVersion:
        out << "vantrel-cli " << VantrelVersion << Qt::endl;
        return 0;
    case RunOptions::Refused:
        err << "vantrel-cli: " << options.error() << " (see --help)" << Qt::endl;
        return 2;
    case RunOptions::Measure:
        break;
    }

    HeadlessRun run(options);
    return run.exec(out, err);
}
