#pragma once

// Records a meeting: the microphone and the computer's audio output, each to its own track in a
// fresh recording directory, then mixed into one "meeting.m4a". One recorder lives for the whole
// application, on the main thread.

#include "recorder/capture.h"
#include "recorder/mixer.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace quorvale {

class AudioSink;
class SourceLevels;

class MeetingRecorder final : public QObject, private CaptureDelegate
{
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isFinishing READ isFinishing NOTIFY isFinishingChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QDateTime started READ started NOTIFY startedChanged)
    Q_PROPERTY(QString pending READ pending NOTIFY pendingChanged)
    Q_PROPERTY(float microphoneLevel READ microphoneLevel NOTIFY levelsChanged)
    Q_PROPERTY(float systemLevel READ systemLevel NOTIFY levelsChanged)
    Q_PROPERTY(bool systemSilent READ systemSilent NOTIFY systemSilentChanged)

public:
    // The capture defaults to the user's PulseAudio (or PipeWire) sound server.
    explicit MeetingRecorder(std::unique_ptr<CaptureLayer> capture = makePulseCapture(),
                             QObject *parent = nullptr);
    ~MeetingRecorder() override;
    Q_DISABLE_COPY_MOVE(MeetingRecorder)

    bool isRecording() const { return m_isRecording; }
    bool isFinishing() const { return m_isFinishing; }
    // Why the last capture ended on its own (the system stopped it, or its audio could not be
    // written); empty when none did. Never cleared.
    const QString &error() const { return m_error; }
    // When the capture started; invalid before the first. Kept after the capture ends.
    const QDateTime &started() const { return m_started; }
    // The mixed file of the last recording stop() finished; empty when there is none.
    const QString &pending() const { return m_pending; }
    // Peak of each source over the last moment, 0 to 1, refreshed about 20 times a second while
    // recording; both 0 when not recording.
    float microphoneLevel() const { return m_microphoneLevel; }
    float systemLevel() const { return m_systemLevel; }
    // The last recording's system track never rose above a whisper (about -60 dBFS) from start
    // to stop, or got no audio at all: most likely the wrong output device. False while
    // recording and before the first; set when the capture ends, whether or not the mix succeeds.
    bool systemSilent() const { return m_systemSilent; }
    // The recording directory of the current, or last, recording; empty before the first.
    const QString &directory() const { return m_directory; }
    // The page and account of the current, or last, recording.
    const QString &pageID() const { return m_pageID; }
    const QString &accountID() const { return m_accountID; }
    // The interface language of the texts the recorder shows: English for "en", Spanish for
    // anything else. The caller keeps it in step with the user's choice.
    const QString &language() const { return m_language; }
    void setLanguage(const QString &language) { m_language = language; }

    // Starts capturing into a new directory of the account's recordings. Does nothing while a
    // capture runs, finishes or is being started. Throws RecordingError, FileError, CaptureError.
    QCoro::Task<> start(QString pageID, QString accountID);
    // Stops the capture and mixes its tracks into "meeting.m4a" in the recording directory;
    // returns that file. A stop called while another one finishes waits for it and shares its
    // outcome. Throws RecordingError, CaptureError, MediaError, FileError; the recorder is idle
    // afterwards in every case, and a failed recording's directory stays for recovery.
    QCoro::Task<QString> stop();

    // Mixes tracks into the file at to, off the main thread; returns to. Texts for the user
    // follow language, as language() does.
    static QCoro::Task<QString> mix(QList<Track> tracks, QString to, QString language = {});
    // The mixed file of a recording directory, mixed now from what can be read of its tracks
    // if it has none yet (recoverRecording in mixer.h).
    static QCoro::Task<QString> recover(QString directory, QString language = {});
    // As recover, with the notice naming a source that had to be left out.
    static QCoro::Task<Recovery> recoverReporting(QString directory, QString language = {});
    // The account's recording directories that were not uploaded and hold audio or its mix;
    // never fails.
    static QStringList recoverable(QString accountID);
    // "<application support>/Quorvale/Recordings/<account>"; throws FileError, or RecordingError
    // for an account identifier that cannot be a folder name.
    static QString accountFolder(const QString &accountID);

signals:
    void isRecordingChanged(bool isRecording);
    void isFinishingChanged(bool isFinishing);
    void errorChanged(const QString &error);
    void startedChanged(const QDateTime &started);
    void pendingChanged(const QString &pending);
    void levelsChanged();
    void systemSilentChanged(bool systemSilent);

private:
    struct StopOutcome;

    void streamDidStop(CaptureStream *stream, quint64 serial, const QString &error) override;
    void captureEnded(quint64 serial, const QString &error);
    void cleanUp(const std::shared_ptr<CaptureStream> &stream);

    void setRecording(bool value);
    void setFinishing(bool value);
    void setError(const QString &value);
    void setStarted(const QDateTime &value);
    void setPending(const QString &value);
    void setLevels(float microphone, float system);
    void setSystemSilent(bool value);
    void readLevels();
    void endMetering(const SourceLevels &levels);

    const std::unique_ptr<CaptureLayer> m_capture;
    bool m_isRecording = false;
    bool m_isFinishing = false;
    QString m_error;
    QDateTime m_started;
    QString m_pending;
    QString m_pageID;
    QString m_accountID;
    QString m_language;
    std::shared_ptr<CaptureStream> m_stream;
    std::shared_ptr<AudioSink> m_sink;
    // What the current (or last) recording's sink heard; read by m_levelTimer while recording.
    std::shared_ptr<SourceLevels> m_levels;
    QTimer m_levelTimer;
    float m_microphoneLevel = 0;
    float m_systemLevel = 0;
    bool m_systemSilent = false;
    QString m_directory;
    // Set from the first step of start to its end, so that a second start is a no-op.
    bool m_starting = false;
    // The stop in progress, which a second stop joins.
    std::shared_ptr<StopOutcome> m_stopping;
};

} // namespace quorvale
