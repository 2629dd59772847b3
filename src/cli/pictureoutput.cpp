// SPDX-License-Identifier: MIT
#include "pictureoutput.h"

#include "resultfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTextStream>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool readRun(const QString &path, QList<PictureRun> &runs, QTextStream &err)
{
    QString why;
    const std::optional<RunRecord> record = PictureOutput::readSaved(path, &why);
    if (!record) {
        err << "vantrel-cli: cannot draw " << path << ": " << why << Qt::endl;
        return false;
    }
    runs << PictureRun{QFileInfo(path).fileName(), *record};
    return true;
}

} // namespace

std::optional<RunRecord> PictureOutput::readSaved(const QString &path, QString *why)
{
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without waiting, so that a pipe with no writer cannot block;
    // the type is then asked of what was opened, not of the name.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        *why = "not a regular file";
        return std::nullopt;
    }
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        *why = file.errorString();
        return std::nullopt;
    }
#else
    if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
        *why = "not a regular file";
        return std::nullopt;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return std::nullopt;
    }
#endif
    // Whatever the size says (a file may grow while it is read): one byte
    // past the limit is enough to refuse it.
    QByteArray text;
    char chunk[65536];
    while (text.size() <= LargestSavedRun) {
        const qint64 got = file.read(chunk, sizeof chunk);
        if (got < 0) {
            *why = file.errorString();
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(chunk, got);
    }
    if (text.size() > LargestSavedRun) {
        *why = "not a Vantrel run: larger than 64 MB";
        return std::nullopt;
    }
    return RunRecord::fromJson(text, why);
}

bool PictureOutput::prepare(const RunOptions &options, QTextStream &err)
{
    if (!options.drawsPicture())
        return true;
    if (!options.fromPath.isEmpty() && !readRun(options.fromPath, saved, err))
        return false;
    if (!options.comparePath.isEmpty() && !readRun(options.comparePath, saved, err))
        return false;
    return ResultFile::open(file, options.plotPath, err);
}

bool PictureOutput::write(const RunRecord &measured, QTextStream &err,
                          const QList<PictureSpike> &spikes)
{
    if (!file)
        return true;
    return writeRuns(QList<PictureRun>{{"this run", measured, spikes}} + saved, err);
}

int PictureOutput::drawSaved(const RunOptions &options, QTextStream &err)
{
    if (!prepare(options, err))
        return 1;
    return writeRuns(saved, err) ? 0 : 1;
}

bool PictureOutput::writeRuns(QList<PictureRun> runs, QTextStream &err)
{
    // Drawn in memory first: the encoder's own complaints about a full disk
    // would be a second line; the file's write says it once.
    const HistogramPicture picture(std::move(runs));
    QBuffer drawn;
    drawn.open(QIODevice::WriteOnly);
    QString why;
    if (picture.write(&drawn, HistogramPicture::fileFormat(file->fileName()),
                      QGuiApplication::palette(), &why)) {
        file->write(drawn.data());
        return ResultFile::commit(*file, err);
    }
    file->cancelWriting();
    file->commit(); // keeps the earlier picture
    err << "vantrel-cli: could not write " << file->fileName() << ": " << why << Qt::endl;
    return false;
}
