#pragma once

// File steps of the recorder: private directories. (Atomic writes: service/durablefile.h.)

#include <QByteArray>
#include <QString>

namespace quorvale::recording {

// Creates path and every missing parent with permissions 0700. Throws FileError.
void makePrivateDirectories(const QString &path);

} // namespace quorvale::recording
