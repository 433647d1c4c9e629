#pragma once

// A PulseAudio daemon private to a test: null sinks instead of sound cards, under its own
// runtime directory, stopped (or killed) by the test. Its sinks:
//   vsink    the default sink: what the computer plays, recorded as the system audio
//   micsink  whose monitor is the default source "vmic": what the microphone hears
//   both     plays into vsink and micsink at once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace quorvale::test {

class SoundServer
{
public:
    // Shared: the daemon of scripts/with-sound when QUORVALE_TEST_SOUND_SERVER names one (with
    // the same sinks), otherwise one of its own. Private: always one of its own.
    enum class Kind { Shared, Private };
    explicit SoundServer(Kind kind = Kind::Private);
    ~SoundServer();
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    // Starts the daemon and waits until it answers; false with the reason in error() if not.
    bool start();
    // Ends the daemon at once, as a crash would. Only for a daemon of its own.
    void kill();
    const QString &error() const { return m_error; }
    // The server address for libpulse and the pulse tools ("unix:…/native").
    QString address() const;

    // Runs pactl on this server: its output, or nothing when it fails.
    std::optional<QString> control(const QStringList &arguments) const;
    // Removes a sink, as when a device is unplugged, by unloading the module that made it.
    bool unloadSink(const QString &name) const;
    // Whether some record stream reads from the source of that name.
    bool isRecorded(const QString &source) const;

    // Plays a sound file into one of the sinks; the process ends when the sound has been played.
    // The caller owns the process.
    QProcess *play(const QString &file, const QString &sink) const;

private:
    const Kind m_kind;
    QString m_given;
    QTemporaryDir m_runtime;
    QProcess m_daemon;
    QString m_error;
};

} // namespace quorvale::test
