#pragma once

// The application's meeting audio beside the model: the one recorder, and every way audio
// reaches the server from this computer (stop and save, recover and upload, an imported file),
// with the uploads under way. It outlives the panels, so an upload goes on when its page is left.

#include "json/json.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace quorvale {

class MeetingRecorder;
class WorkspaceModel;

class MeetingAudio final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeetingAudio)

public:
    // Files larger than this are refused before anything is read or sent.
    static constexpr qint64 sizeLimit = 262'144'000;

    // One file being sent.
    struct Transfer
    {
        QString file;
        QString pageID;
        qint64 sent = 0;
        qint64 total = 0;
    };

    // Both must outlive this object. The recorder's texts follow the model's language.
    MeetingAudio(WorkspaceModel &model, MeetingRecorder &recorder, QObject *parent = nullptr);

    WorkspaceModel &model() const { return m_model; }
    MeetingRecorder &recorder() const { return m_recorder; }
    const std::vector<Transfer> &transfers() const { return m_transfers; }
    // The current account's recordings not uploaded yet.
    QStringList pending() const;

    // The user's actions, each run by the model (busy while it runs, its failure the message).
    // Saves the workspace, then records for the page.
    void record(const QString &pageID);
    void stopAndSave();
    // Uploads an interrupted recording to the page it was recorded for; another account's
    // recording is left alone without a word, and one already on its way is not sent twice.
    void recoverAndUpload(const QString &directory);
    // Saves the workspace, then uploads the file for the page.
    void importFile(const QString &file, const QString &pageID);

    // Sends one audio file as a recording of the page, streamed from disk; throws.
    QCoro::Task<> upload(QString file, QString pageID);

    // The type the server is told the file holds, by its extension.
    static QString contentType(const QString &file);
    // The name a recording of the page gets: its title, cut to 180 characters as the eye
    // counts them.
    static QString recordingName(const JSON &workspace, const QString &pageID);

signals:
    void transfersChanged();
    // A recording reached the server, or failed to; what is pending may have changed.
    void pendingChanged();

private:
    QCoro::Task<QByteArray> send(QString file, QString pageID, QString path);
    void setProgress(const QString &file, qint64 sent, qint64 total);
    void endTransfer(const QString &file);
    QString text(const char *spanish, const char *english) const;

    WorkspaceModel &m_model;
    MeetingRecorder &m_recorder;
    std::vector<Transfer> m_transfers;
    // Recording directories whose recovery or upload is under way.
    QStringList m_busyDirectories;
    // A stop and its upload are under way.
    bool m_stopping = false;
};

} // namespace quorvale
