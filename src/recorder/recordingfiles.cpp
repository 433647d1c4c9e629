#include "recorder/recordingfiles.h"

#include "service/serviceerror.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvale::recording {

namespace {

FileError fileError(const QString &what, const QString &path, int error)
{
    return FileError(what.arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

bool isDirectory(const QByteArray &path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

void makePrivateDirectories(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (isDirectory(native))
        return;
    for (qsizetype end = 1; end <= native.size(); ++end) {
        if (end < native.size() && native.at(end) != '/')
            continue;
        const QByteArray part = native.left(end);
        if (::mkdir(part.constData(), 0700) == 0) {
            // The umask may have taken bits away.
            if (::chmod(part.constData(), 0700) == 0)
                continue;
        } else if (isDirectory(part)) {
            continue;
        }
        throw fileError(QStringLiteral("No se pudo crear la carpeta %1: %2"),
                        QFile::decodeName(part), errno);
    }
}

} // namespace quorvale::recording
