// SPDX-License-Identifier: MIT
// vantrel-cli: one measurement with Vantrel's worker and report, no window.
#include "headlessrun.h"
#include "pictureoutput.h"
#include "platform.h"
#include "runoptions.h"
#include "vantrelversion.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

namespace {

QtMessageHandler qtHandler = nullptr;

// Qt Gui looks for the session's runtime folder as it starts; where none is
// set (root over ssh, cron), or the one it falls back to belongs to someone
// else (another user, or root seen from a user namespace), it warns, though a
// picture never needs one. Those warnings alone are left out, so that
// standard error stays the program's own.
void withoutRuntimeDirWarning(QtMsgType type, const QMessageLogContext &context,
                              const QString &message)
{
    if (type == QtWarningMsg && message.startsWith("QStandardPaths: "))
        return;
    qtHandler(type, context, message);
}

} // namespace

int main(int argc, char *argv[])
{
    // Before any thread exists, so that every later thread inherits it.
    platform::catchStopRequests();

    // The options decide which application is made: text in a picture needs
    // Qt Gui, which draws here on its offscreen platform, so no display is
    // needed; a plain measurement keeps to Qt Core.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    RunOptions options;
    const RunOptions::Outcome outcome = options.parse(arguments);
    std::unique_ptr<QCoreApplication> app;
    if (options.drawsPicture() && outcome != RunOptions::Refused) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qtHandler = qInstallMessageHandler(withoutRuntimeDirWarning);
        app = std::make_unique<QGuiApplication>(argc, argv);
        qInstallMessageHandler(qtHandler);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("vantrel-cli");
    QCoreApplication::setApplicationVersion(VantrelVersion);
    QTextStream out(stdout);
    QTextStream err(stderr);

    switch (outcome) {
    case RunOptions::ShowHelp:
        out << RunOptions::helpText() << Qt::flush;
        return 0;
    case RunOptions::ShowVersion:
        out << "vantrel-cli " << VantrelVersion << Qt::endl;
        return 0;
    case RunOptions::Refused:
        err << "vantrel-cli: " << options.error() << " (see --help)" << Qt::endl;
        return 2;
    case RunOptions::Draw:
        return PictureOutput().drawSaved(options, err);
    case RunOptions::Measure:
        break;
    }

    HeadlessRun run(options);
    return run.exec(out, err);
}
