#include "files/durablefile.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvale::durable {

namespace {

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t count = ::write(fd, data, size);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (count == 0) {
            errno = ENOSPC;
            return false;
        }
        data += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

int syncToDisk(int fd, bool directory)
{
#ifdef __APPLE__
    // fsync on macOS leaves the data in the drive's cache.
    (void)directory;
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
    return ::fsync(fd);
#else
    int result;
    do {
        result = directory ? ::fsync(fd) : ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
#endif
}

void syncDirectoryOf(const QString &path, const QByteArray &directory)
{
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw writeError(path, errno);
    const int synced = syncToDisk(fd, true);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a directory at all, and say so with EINVAL.
    if (synced != 0 && error != EINVAL && error != ENOTSUP)
        throw writeError(path, error);
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
        int error = 0;
        if (::mkdir(part.constData(), 0700) != 0) {
            error = errno;
            if (isDirectory(part))
                continue;
        } else if (::chmod(part.constData(), 0700) != 0) { // the umask may have taken bits away
            error = errno;
        } else {
            continue;
        }
        throw FileError(QStringLiteral("No se pudo crear la carpeta %1: %2")
                            .arg(QFile::decodeName(part), qt_error_string(error)));
    }
}

FileError writeError(const QString &path, int error)
{
    return FileError(
        QStringLiteral("No se pudo escribir %1: %2").arg(path, qt_error_string(error)));
}

void syncFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw writeError(path, errno);
    const int synced = syncToDisk(fd, false);
    const int error = errno;
    ::close(fd);
    if (synced != 0)
        throw writeError(path, error);
}

void syncDirectory(const QString &directory)
{
    syncDirectoryOf(directory, QFile::encodeName(directory));
}

void writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray directory = QFile::encodeName(info.absolutePath());

    // Beside the target, so that the rename stays on one file system; 0600 from its creation.
    QByteArray temporary = directory + "/.quorvale-XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw writeError(path, errno);
    const auto fail = [&](int error) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return writeError(path, error);
    };

    if (::fchmod(fd, 0600) != 0 ||
        !writeAll(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) ||
        syncToDisk(fd, false) != 0)
        throw fail(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        throw fail(errno);
    if (::rename(temporary.constData(), target.constData()) != 0)
        throw fail(errno);

    // The rename itself is durable only once the directory is.
    syncDirectoryOf(path, directory);
}

void removeTemporaries(const QString &folder)
{
    // ".quorvale-XXXXXX" beside a durable file, ".meeting.m4a.XXXXXX" beside a mix.
    static const QRegularExpression temporary(
        QStringLiteral("^\\.(quorvale-|.+\\.)[A-Za-z0-9]{6}$"));
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QFileInfo file = files.nextFileInfo();
        if (!file.isSymLink() && temporary.match(file.fileName()).hasMatch())
            QFile::remove(file.filePath());
    }
}

} // namespace quorvale::durable
