// SPDX-License-Identifier: MIT
#include "resultfile.h"

#include <QFileInfo>
#include <QTextStream>

#include <filesystem>
#include <system_error>

namespace ResultFile {

qint64 File::writeData(const char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length && !writeFailed) {
        const qint64 written = QSaveFile::writeData(data + done, length - done);
        if (written <= 0)
            writeFailed = true;
        else
            done += written;
    }
    return writeFailed && done == 0 ? -1 : done;
}

bool open(std::unique_ptr<File> &file, const QString &path, QTextStream &err)
{
    // QSaveFile renames over the target a link points to, and over a device
    // or a pipe as well; run as root, that could replace a system file.
    const QFileInfo target(path);
    QString why;
    if (target.isSymLink())
        why = "it is a symbolic link; name the file itself";
    else if (target.exists() && !target.isFile())
        why = "it is not a regular file";
    if (why.isEmpty()) {
        file = std::make_unique<File>(path);
        if (file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return true;
        why = file->errorString();
        file.reset();
    }
    err << "vantrel-cli: cannot write " << path << ": " << why << Qt::endl;
    return false;
}

bool commit(File &file, QTextStream &err)
{
    QString why;
    if (file.failed()) {
        why = file.errorString();
        file.cancelWriting();
        file.commit(); // after cancelWriting: drops the temporary file, keeps the earlier one
    } else if (file.commit()) {
        return true;
    } else {
        why = file.errorString();
    }
    err << "vantrel-cli: could not write " << file.fileName() << ": " << why << Qt::endl;
    return false;
}

bool sameFile(const QString &first, const QString &second)
{
    namespace fs = std::filesystem;
    const fs::path a = fs::absolute(first.toStdString());
    const fs::path b = fs::absolute(second.toStdString());
    std::error_code error;
    if (fs::exists(a, error) || fs::exists(b, error))
        return fs::equivalent(a, b, error);
    return a.filename() == b.filename() && fs::equivalent(a.parent_path(), b.parent_path(), error);
}

} // namespace ResultFile
