// SPDX-License-Identifier: MIT
#include "pictureoutput.h"

#include "resultfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTextStream>

namespace {

bool readRun(const QString &path, QList<PictureRun> &runs, QTextStream &err)
{
    QString why;
    const std::optional<RunRecord> record = RunRecord::readFile(path, &why);
    if (!record) {
        err << "vantrel-cli: cannot draw " << path << ": " << why << Qt::endl;
        return false;
    }
    runs << PictureRun{QFileInfo(path).fileName(), *record};
    return true;
}

} // namespace

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
