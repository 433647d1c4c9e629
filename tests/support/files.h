#pragma once

// Files as tests look at them: whole contents (readAll is the HTTPS client's), permission bits,
// and every entry of a directory, so that a temporary file left behind shows.

#include "support/httpsclient.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace quorvale::test {

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The permission bits of path; -1 when it is not there.
inline int mode(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return static_cast<int>(status.st_mode & 07777);
}

inline QStringList entries(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace quorvale::test
