// SPDX-License-Identifier: MIT
// The picture vantrel-cli draws (--plot): of the run it measured, or of a
// saved one (--from), with a saved run beside it (--compare). The files it
// reads are read, and the picture's file opened, before anything is measured.
#pragma once

#include "histogrampicture.h"
#include "runoptions.h"

#include "resultfile.h"

#include <memory>
#include <optional>

QT_BEGIN_NAMESPACE
class QTextStream;
QT_END_NAMESPACE

class PictureOutput
{
public:
    // Reads --from and --compare and opens --plot; false, with a line on err,
    // when one cannot be. Nothing to do without --plot.
    bool prepare(const RunOptions &options, QTextStream &err);

    // Writes the picture of the measured run (beside the compared one, if
    // any); false, with a line on err, when it cannot be written.
    bool write(const RunRecord &measured, QTextStream &err, const QList<PictureSpike> &spikes = {});

    // --from: draws the saved runs; the program's exit status.
    int drawSaved(const RunOptions &options, QTextStream &err);

    // A saved run (--json's file) that must be a regular file: a device or a
    // pipe is refused before it is read, so that none can block or fill the
    // memory, and no more than the largest saved run is read.
    static std::optional<RunRecord> readSaved(const QString &path, QString *why);
    static constexpr qint64 LargestSavedRun = 64 * 1024 * 1024;

private:
    bool writeRuns(QList<PictureRun> runs, QTextStream &err);

    std::unique_ptr<ResultFile::File> file;
    QList<PictureRun> saved; // --from's run, then --compare's
};
