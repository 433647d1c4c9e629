#pragma once

// The interface's symbols: SVG files drawn for the project (src/views/icons/<name>.svg),
// compiled into the program so that they show on a bare machine.

#include <QIcon>
#include <QString>

namespace quorvale {

// The icon named name; a missing name is a programming error and yields an empty icon.
QIcon icon(const QString &name);

} // namespace quorvale
