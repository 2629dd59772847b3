// SPDX-License-Identifier: MIT
// vantrel-cli: one measurement with Vantrel's worker and report, no window.
#include "headlessrun.h"
#include "percpurun.h"
#include "pictureoutput.h"
#include "platform.h"
#include "runoptions.h"
#include "stoprequests.h"
#include "vantrelversion.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QtMessageHandler qtHandler = nullptr;
bool startingGui = false; // Qt Gui's platform is being loaded

// Qt Gui looks for the session's runtime folder as it starts; where none is
// set (root over ssh, cron), or the one it falls back to belongs to someone
// else (another user, or root seen from a user namespace), it warns, though a
// picture never needs one. Those warnings alone are left out, so that
// standard error stays the program's own.
void ownMessagesOnly(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith("QStandardPaths: "))
        return;
    // Without a platform plugin Qt Gui gives up with an abort: one line and
    // status 1 instead, its own warnings left out.
    if (type == QtFatalMsg && startingGui) {
        std::fputs("vantrel-cli: cannot draw: Qt found no \"offscreen\" platform plugin to draw "
                   "with (Debian's package qt6-qpa-plugins has it)\n",
                   stderr);
        std::_Exit(1);
    }
    if (type == QtWarningMsg && qstrcmp(context.category, "qt.qpa.plugin") == 0)
        return;
    qtHandler(type, context, message);
}

// Whether what was printed reached standard output; one line on err if not.
bool written(QTextStream &out, QTextStream &err)
{
    if (out.status() == QTextStream::Ok)
        return true;
    const QFileDevice *device = qobject_cast<const QFileDevice *>(out.device());
    err << "vantrel-cli: could not write to standard output"
        << (device ? ": " + device->errorString() : QString()) << Qt::endl;
    return false;
}

#ifdef Q_OS_UNIX
// A standard stream started closed would be the number the next file
// opened gets, and the report would be written into a result file: held
// by /dev/null, read-only, so that a write there fails as it should.
void holdClosedStandardStreams()
{
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}
#endif

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    holdClosedStandardStreams();
    // A reader that went away is a failed write, not the end: the run's
    // files are still written.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Before any thread exists, so that every later thread inherits both.
    platform::useSmallThreadStacks();
    platform::catchStopRequests();
    StopRequests::watch();

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
        qtHandler = qInstallMessageHandler(ownMessagesOnly);
        startingGui = true;
        app = std::make_unique<QGuiApplication>(argc, argv);
        startingGui = false;
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
        return written(out, err) ? 0 : 1;
    case RunOptions::ShowVersion:
        out << "vantrel-cli " << VantrelVersion << Qt::endl;
        return written(out, err) ? 0 : 1;
    case RunOptions::Refused:
        err << "vantrel-cli: " << options.error() << " (see --help)" << Qt::endl;
        return 2;
    case RunOptions::Draw:
        return PictureOutput().drawSaved(options, err);
    case RunOptions::Measure:
        break;
    }
    for (const QString &note : options.notes)
        err << "vantrel-cli: " << note << Qt::endl;

    if (!options.cpus.isEmpty())
        return PerCpuRun(options).exec(out, err);
    HeadlessRun run(options);
    return run.exec(out, err);
}
