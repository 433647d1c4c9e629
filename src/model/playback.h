#pragma once

// The model's playback area: a recording's audio downloaded to a temporary file that lives
// exactly as long as the player playing it, play and pause, and the transcript of a recording.

#include "json/json.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <memory>

class QAudioOutput;
class QMediaPlayer;

namespace quorvale {

class WorkspaceModel;

class Playback final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Playback)

public:
    explicit Playback(WorkspaceModel &model);
    ~Playback() override;

    // Plays the recording; the one loaded pauses or resumes.
    void play(const JSON &recording);
    // Stops and forgets the player; its temporary file is deleted.
    void stop();
    // Asks the server for the transcript, after starting a transcription when start is set.
    void showTranscript(const JSON &recording, bool start);

    QMediaPlayer *player() const { return m_player.get(); }
    const QString &playing() const { return m_playing; }
    bool isPlaying() const;

    // The temporary file's extension for an audio type.
    static QString extension(std::string_view mimeType);

signals:
    // The player, the recording loaded or its state changed.
    void changed();

private:
    QCoro::Task<> load(JSON recording);
    QCoro::Task<> transcript(JSON recording, bool start);

    WorkspaceModel &m_model;
    std::unique_ptr<QAudioOutput> m_output;
    std::unique_ptr<QMediaPlayer> m_player;
    QString m_playing;
    QString m_file;
    quint64 m_loads = 0; // the newest load; an older one that finishes late is dropped
};

} // namespace quorvale
