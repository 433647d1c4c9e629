#pragma once

// Mixing per-source track files into one AAC file, and reading interrupted recordings back.
//
// Every function here blocks on file and codec work (a long meeting takes seconds to encode):
// run them on a worker thread, never on the GUI thread. They keep no state, so several may run
// at once on different recordings.
//
// Errors: RecordingError for what the user is told in the system's own words (no
// audio at all); MediaError for a track that cannot be read or audio that cannot be converted
// or encoded; FileError (files/error.h) for the output file that cannot be created, moved into
// place or given its permissions. On every error no "meeting.m4a" is left half written.

#include "files/error.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <stdexcept>

namespace quorvale {

// One source's track file and the capture-clock time, in seconds, of its first sample.
struct Track
{
    QString path;
    double start = 0;
};

// A track file that cannot be opened or read, or audio that cannot be converted or encoded.
class MediaError : public Error
{
public:
    using Error::Error;
};

// What the recorder tells the user in its own words: no recording running, no audio received.
class RecordingError : public Error
{
public:
    using Error::Error;
};

// What recovery made of a recording: the mixed file, and for the user a sentence naming a
// source whose track could not be read and was left out (empty when none was).
struct Recovery
{
    QString path;
    QString notice;
};

// Lays every track on one timeline at its offset from the earliest start (later starts only;
// an offset is never negative), sums them at equal level and encodes the sum as 48 kHz stereo
// AAC at 128 kb/s in an M4A file at output, with permissions 0600. Returns output.
// A track without audio frames is skipped; with no track left, or an empty list, throws the
// no-audio RecordingError. The file appears at output only once complete (written beside it,
// then renamed), and memory stays bounded whatever the tracks' length. Texts for the user are
// English when language is "en", Spanish otherwise.
QString mixTracks(const QList<Track> &tracks, const QString &output, const QString &language = {});

// The tracks of a recording directory as the recorder left them: "system" then "microphone",
// each only if its ".caf" exists, starting at the "first" of its ".json" start record; a
// source whose record is missing or unreadable, or more than 6 hours after the earliest known
// one, starts with the earliest known one (0 when none is known). Never throws.
QList<Track> recoveryTracks(const QString &directory);

// The recording's "meeting.m4a": returned at once if it exists (no track is opened), otherwise
// mixed from recoveryTracks(directory) with what can be read of them: a track cut short or
// whose header is damaged gives the frames it holds, and one that cannot be read at all is
// left out and named in the notice. Throws the no-audio RecordingError when no track has audio,
// otherwise as mixTracks does.
Recovery recoverRecording(const QString &directory, const QString &language = {});
// The path of recoverRecording.
QString recoverDirectory(const QString &directory, const QString &language = {});

// Whether recoverRecording can give the directory a mix: one is there, or a track holds audio
// (read as recovery reads it, damaged headers included). Never throws.
bool holdsRecoverableAudio(const QString &directory);

// The absolute paths of the entries of an account's recordings folder that hold no
// "uploaded.json", in listing order, hidden entries included and nothing else checked.
// A missing or unreadable folder gives an empty list; never throws.
QStringList recoverableDirectories(const QString &accountFolder);

} // namespace quorvale
