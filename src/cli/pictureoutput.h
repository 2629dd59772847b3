// SPDX-License-Identifier: MIT
// The picture vantrel-cli draws (--plot): of the run it measured, or of a
// saved one (--from), with a saved run beside it (--compare). The files it
// reads are read, and the picture's file opened, before anything is measured.
#pragma once

#include "histogrampicture.h"
#include "runoptions.h"

#include "resultfile.h"

#include <memory>

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

private:
    bool writeRuns(QList<PictureRun> runs, QTextStream &err);

    std::unique_ptr<ResultFile::File> file;
    QList<PictureRun> saved; // --from's run, then --compare's
};
