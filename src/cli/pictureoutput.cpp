// SPDX-License-Identifier: MIT
#include "pictureoutput.h"

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
    file = std::make_unique<QFile>(options.plotPath);
    if (file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return true;
    err << "vantrel-cli: cannot write " << options.plotPath << ": " << file->errorString()
        << Qt::endl;
    return false;
}

bool PictureOutput::write(const RunRecord &measured, QTextStream &err)
{
    if (!file)
        return true;
    return writeRuns(QList<PictureRun>{{"this run", measured}} + saved, err);
}

int PictureOutput::drawSaved(const RunOptions &options, QTextStream &err)
{
    if (!prepare(options, err))
        return 1;
    return writeRuns(saved, err) ? 0 : 1;
}

bool PictureOutput::writeRuns(QList<PictureRun> runs, QTextStream &err)
{
    const HistogramPicture picture(std::move(runs));
    QString why;
    if (picture.write(file.get(), HistogramPicture::fileFormat(file->fileName()),
                      QGuiApplication::palette(), &why) &&
        file->flush())
        return true;
    err << "vantrel-cli: could not write " << file->fileName() << ": "
        << (why.isEmpty() ? file->errorString() : why) << Qt::endl;
    return false;
}
