#pragma once

// The audio of a meeting page: record (after a notice to tell the participants), stop and
// save, import a file, recover what an interrupted recording left on this computer, the
// page's recordings with playback, download and transcripts, and the transcript shown.

#include "json/json.h"

#include <QWidget>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;
class QVBoxLayout;

namespace quorvale {

class LevelMeter;
class MeetingAudio;
class MeetingRecorder;
class TranscriptView;
class WorkspaceModel;

class RecordingPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingPanel)

public:
    RecordingPanel(MeetingAudio &audio, QString pageID, QWidget *parent = nullptr);

    // Where "Import audio…" asks for a file; the platform's open panel unless replaced. An
    // empty answer is a cancel.
    void setOpenPanel(std::function<QString()> panel) { m_openPanel = std::move(panel); }

    // "%.1f MB" of a recording's size; the file name a download proposes.
    static QString sizeText(const JSON &recording);
    static QString downloadName(const JSON &recording);
    // The running time of a recording, as a timer shows it.
    static QString elapsedText(qint64 seconds);

private:
    void buildHeader(QVBoxLayout &column);
    void buildControls(QVBoxLayout &column);
    void confirmRecording();
    void importAudio();
    QString chooseAudioFile();

    void relabel();
    void refreshControls();
    void refreshLevels();
    void refreshTransfers();
    void refreshPending();
    void refreshRecordings();
    void refreshPlayback();
    void refreshTranscript();
    QWidget *makeCard(const JSON &recording);

    MeetingAudio &m_audio;
    WorkspaceModel &m_model;
    MeetingRecorder &m_recorder;
    QString m_pageID;
    std::function<QString()> m_openPanel;

    QLabel *m_title = nullptr;
    QLabel *m_subtitle = nullptr;
    QWidget *m_idleRow = nullptr;
    QPushButton *m_record = nullptr;
    QPushButton *m_import = nullptr;
    QWidget *m_recordingRow = nullptr;
    QLabel *m_timer = nullptr;
    QPushButton *m_stop = nullptr;
    QTimer *m_tick = nullptr;
    QWidget *m_levels = nullptr;
    QLabel *m_microphoneLabel = nullptr;
    QLabel *m_systemLabel = nullptr;
    LevelMeter *m_microphone = nullptr;
    LevelMeter *m_system = nullptr;
    QLabel *m_silent = nullptr;
    QLabel *m_error = nullptr;
    QWidget *m_transfer = nullptr;
    QLabel *m_transferText = nullptr;
    QProgressBar *m_transferBar = nullptr;
    QWidget *m_pending = nullptr;
    QVBoxLayout *m_pendingList = nullptr;
    QWidget *m_cards = nullptr;
    QVBoxLayout *m_cardList = nullptr;
    JSON::Array m_recordingsShown;
    QLabel *m_empty = nullptr;
    TranscriptView *m_transcript = nullptr;
    QTimer *m_position = nullptr;
};

} // namespace quorvale
