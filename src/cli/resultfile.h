// SPDX-License-Identifier: MIT
// The files a run writes its results to (--json, --intervals, --plot): one
// rule for all of them, written whole or not at all.
#pragma once

#include <QSaveFile>
#include <QString>

#include <memory>

QT_BEGIN_NAMESPACE
class QTextStream;
QT_END_NAMESPACE

namespace ResultFile {

// Written without a buffer, so that no write is left for close() to fail
// unseen, and every short write (a full disk writes part, then refuses) is
// taken up until it is whole or refused.
class File : public QSaveFile
{
public:
    using QSaveFile::QSaveFile;
    bool failed() const { return writeFailed; }

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    bool writeFailed = false;
};

// A temporary file beside path, opened before the run and put in its place
// only once it is whole, so that a run that fails or is killed leaves an
// earlier result as it was. A symbolic link, a device, a pipe or a folder is
// refused. False, with one line on err, when it cannot be opened.
bool open(std::unique_ptr<File> &file, const QString &path, QTextStream &err);

// Puts the file in its place if every write reached it; otherwise keeps the
// earlier file, says why on err in one line and returns false.
bool commit(File &file, QTextStream &err);

// Whether two paths name one file: the same device and inode once it
// exists; before, the same name in the same folder, whatever the spelling.
bool sameFile(const QString &first, const QString &second);

} // namespace ResultFile
