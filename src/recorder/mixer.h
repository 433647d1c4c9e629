#pragma once

// Mixing per-source track files into one AAC file, and reading interrupted recordings back.

#include <QList>
#include <QString>

namespace quorvale {

// One source's track file and the capture-clock time, in seconds, of its first sample.
struct Track
{
    QString path;
    double start = 0;
};

} // namespace quorvale
