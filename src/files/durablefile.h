#pragma once

// Writing files so that a crash or a power cut never leaves half of one: everything the
// application keeps on disk (drafts, backups, recordings' records and mixes) goes through here.

#include "files/error.h"

#include <QByteArray>
#include <QString>

namespace quorvale::durable {

// Creates path and every missing parent from the top down, each with permissions 0700.
// Throws FileError.
void makePrivateDirectories(const QString &path);

// The error of a failed write of path, with the system's reason for errno.
FileError writeError(const QString &path, int error);

// Flushes the file's data to the disk.
void syncFile(const QString &path);
// Makes the renames inside directory durable. File systems that cannot sync a directory are
// not an error.
void syncDirectory(const QString &directory);

// Replaces the file at path by bytes, all or nothing, and makes it durable before returning;
// the file gets permissions 0600. Throws FileError; the previous file then stays whole and no
// temporary file is left behind.
void writeFileAtomically(const QString &path, const QByteArray &bytes);

// Deletes, anywhere under folder, the temporaries that writes cut short by a crash leave: those
// of writeFileAtomically and of the mixer's QTemporaryFile, both hidden and named with six
// random characters at the end. Nothing else is touched; failures are ignored.
void removeTemporaries(const QString &folder);

} // namespace quorvale::durable
