#pragma once

// The application's one model: all state the views display, and every action on it. Views
// read the published fields, redraw on their notify signals and call the actions.

#include "accountsession.h"
#include "documentsync.h"
#include "notionimport.h"
#include "playback.h"
#include "service/service.h"
#include "json/json.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

Q_DECLARE_METATYPE(quorvale::JSON)
Q_DECLARE_METATYPE(quorvale::JSON::Array)

namespace quorvale {

class SecretStore;

class WorkspaceModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceModel)

    Q_PROPERTY(quorvale::JSON account READ account NOTIFY accountChanged)
    Q_PROPERTY(quorvale::JSON workspace READ workspace NOTIFY workspaceChanged)
    Q_PROPERTY(quorvale::JSON::Array meetings READ meetings NOTIFY meetingsChanged)
    Q_PROPERTY(QString selection READ selection NOTIFY selectionChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(QString from READ from WRITE setFrom NOTIFY fromChanged)
    Q_PROPERTY(QString to READ to WRITE setTo NOTIFY toChanged)
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool dirty READ dirty NOTIFY dirtyChanged)
    Q_PROPERTY(bool conflict READ conflict NOTIFY conflictChanged)
    Q_PROPERTY(qint64 revision READ revision NOTIFY revisionChanged)
    Q_PROPERTY(quorvale::JSON::Array accounts READ accounts NOTIFY accountsChanged)
    Q_PROPERTY(quorvale::JSON::Array recordings READ recordings NOTIFY recordingsChanged)
    Q_PROPERTY(quorvale::JSON resources READ resources NOTIFY resourcesChanged)
    Q_PROPERTY(quorvale::JSON importPreview READ importPreview NOTIFY importPreviewChanged)
    Q_PROPERTY(quorvale::JSON transcript READ transcript NOTIFY transcriptChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString playing READ playing NOTIFY playingChanged)
    Q_PROPERTY(bool approved READ approved NOTIFY accountChanged)
    Q_PROPERTY(bool isAdmin READ isAdmin NOTIFY accountChanged)

public:
    using Clock = std::function<QDateTime()>;
    using Action = std::function<QCoro::Task<>()>;
    // Asks where to save a file, proposing a name; an empty answer is a cancellation.
    using SavePanel = std::function<QString(const QString &proposedName)>;
    // Asks for a ZIP archive to open; an empty answer is a cancellation.
    using OpenPanel = std::function<QString()>;

    // Talks to the built-in server with the system's keychain.
    explicit WorkspaceModel(QObject *parent = nullptr);
    // Another keychain and server (tests, or a second server of one's own).
    WorkspaceModel(std::unique_ptr<SecretStore> secrets, QUrl origin,
                   QList<QSslCertificate> authorities, QObject *parent = nullptr);
    ~WorkspaceModel() override;

    // The one HTTP client; never replaced.
    Service &service() { return m_service; }

    // Published fields.
    const JSON &account() const { return m_account; }
    const JSON &workspace() const { return m_workspace; }
    const JSON::Array &meetings() const { return m_meetings; }
    // "@meetings", "@pages", "@admin", or the id of a page; empty when nothing is selected.
    const QString &selection() const { return m_selection; }
    const QString &query() const { return m_query; }
    const QString &from() const { return m_from; }
    const QString &to() const { return m_to; }
    const QString &message() const { return m_message; }
    bool busy() const { return m_busy; }
    bool dirty() const { return m_dirty; }
    bool conflict() const { return m_conflict; }
    qint64 revision() const { return m_revision; }
    const JSON::Array &accounts() const { return m_accounts; }
    const JSON::Array &recordings() const { return m_recordings; }
    const JSON &resources() const { return m_resources; }
    const JSON &importPreview() const { return m_importPreview; }
    // Bytes of the export sent for a preview, and its size; both 0 when none is being sent.
    qint64 importSent() const { return m_importSent; }
    qint64 importTotal() const { return m_importTotal; }
    const JSON &transcript() const { return m_transcript; }
    const QString &language() const { return m_language; }

    void setQuery(const QString &query);
    void setFrom(const QString &from);
    void setTo(const QString &to);
    void setMessage(const QString &message);
    void setLanguage(const QString &language);

    // The account's status is "approved" (and, for isAdmin, its role "admin").
    bool approved() const;
    bool isAdmin() const;

    // Connection and approval. connect() never fails: problems become the message, an
    // expired session signs out quietly.
    QCoro::Task<> connect();
    // (Re)starts the periodic account check; at most one runs.
    void observe();
    void signIn();
    void logout();
    // Keeps the draft, then forgets everything private to the account.
    void clearPrivateMemory();
    // Runs a user's action with the busy flag; a failure becomes the message.
    void run(Action action);
    // Changes what the main area shows and loads the page's recordings and resources.
    void select(const QString &id);

    // The document and the server.
    QCoro::Task<> load();
    QCoro::Task<> save();
    // Account administration: the list is never edited here, only reloaded from the server
    // after each change or retry.
    QCoro::Task<> loadAccounts();
    // Sends the new status with the version the record was read at; a stale one is refused.
    void changeAccount(const JSON &account, const QString &status);
    void retryNotifications();

    // Recordings: playback of one at a time, and transcripts.
    void play(const JSON &recording);
    void stopPlayback();
    void showTranscript(const JSON &recording, bool start);
    // The player of the recording loaded, and that recording's id (empty when none).
    QMediaPlayer *player() const;
    const QString &playing() const;
    bool isPlaying() const;
    // Reloads what an upload to the page changed: its recordings while it is selected, and the
    // meetings list.
    QCoro::Task<> recordingUploaded(QString pageId);

    // Notion import: a chosen export previewed by the server, then added or discarded.
    void importZIP();
    void commitImport();
    void cancelImport();
    // The user's name for the folder of the imported pages, kept in the pending preview.
    void setImportRootTitle(const QString &title);

    // Backups and files.
    bool exportDraft();
    void exportAndReload();
    void saveFile(const QString &path, const QString &name);

    // Picks the Spanish or the English text by the current language.
    QString text(const char *spanish, const char *english) const;

    // Tests replace the clock to control "now", and shorten the account check.
    void setClock(Clock clock);
    void setObservationInterval(std::chrono::milliseconds interval);
    // The application shows a file dialog; without one every save panel is cancelled.
    void setSavePanel(SavePanel panel) { m_savePanel = std::move(panel); }
    void setOpenPanel(OpenPanel panel) { m_openPanel = std::move(panel); }

    // Replaces the whole document (a load, a recovered draft). Not an edit: neither the dirty
    // flag nor the draft change.
    void setWorkspace(JSON workspace);
    // Replace what the server last said (a load does this; tests and benchmarks too).
    void setMeetings(JSON::Array meetings);
    void setResources(JSON resources);

    // Document edits. Every edit marks the model dirty and keeps the draft.
    JSON block(std::string_view type) const;
    void newPage(const QString &kind, bool meeting, const QString &parent = {});
    void updatePage(std::string_view id, const std::function<void(JSON &page)> &change);
    void updateBlock(std::string_view page, std::string_view id, std::string_view key, JSON value);
    void addBlock(std::string_view type);
    void toggleFavorite(std::string_view page);
    void rename(std::string_view page, const QString &title);
    void addCard(std::string_view page, std::string_view status);
    void updateCard(std::string_view page, std::string_view card, std::string_view key,
                    const QString &value);

    // Queries, recomputed on every read.
    const JSON &selectedPage() const;
    JSON::Array visiblePages() const;
    JSON::Array filteredMeetings() const;

    // Writes the encrypted local draft of unsaved edits, on the draft writer's thread; the one
    // place drafts are written from. Until the account's draft has been opened (or found
    // absent) nothing replaces it: the edits stay in memory and the draft is tried again.
    void keepDraft();
    // Finishes once every draft asked for so far is on disk (or has failed).
    QCoro::Task<> flushDraft();
    // No unsaved edit is only in memory: the last one is in the local draft.
    bool editsKept() const;
    // The number of the draft that holds the last edit made; it grows with each edit.
    quint64 draftNumber() const;
    // The account's draft was read (recovered, found absent or set aside) since signing in:
    // before that, the document shown may still be replaced by it.
    bool draftOpened() const;

    // A new random version-4 UUID in lower-case canonical form.
    static std::string newId();

signals:
    void accountChanged();
    void workspaceChanged();
    void meetingsChanged();
    void selectionChanged();
    void queryChanged();
    void fromChanged();
    void toChanged();
    void messageChanged();
    void busyChanged();
    void dirtyChanged();
    void conflictChanged();
    void revisionChanged();
    void accountsChanged();
    void recordingsChanged();
    void resourcesChanged();
    void importPreviewChanged();
    void importProgressChanged();
    void transcriptChanged();
    void languageChanged();
    // The recording loaded in the player, or the player's state, changed.
    void playingChanged();
    // The local draft now holds every edit made so far.
    void draftKept();
    // The draft numbered number (see draftNumber()) is on disk, with every edit before it.
    void draftStored(quint64 number);

private:
    friend class AccountSession;
    friend class DocumentSync;
    friend class Playback;
    friend class NotionImport;

    std::string now() const;
    QString accountId() const;
    QCoro::Task<> runAction(Action action);
    QCoro::Task<> loadPage(QString id);
    void beginSession();
    void setAccount(JSON account);
    void setAccounts(JSON::Array accounts);
    void setTranscript(JSON transcript);
    void setImportPreview(JSON preview);
    void setBusy(bool busy);
    void setConflict(bool conflict);
    void setRevision(qint64 revision);
    void setDirty(bool dirty);
    void setSelection(const QString &selection);
    void setRecordings(JSON::Array recordings);
    template <typename T>
    void assign(T &field, T value, void (WorkspaceModel::*changed)());

    std::unique_ptr<SecretStore> m_secrets;
    Service m_service;
    JSON m_account;
    JSON m_workspace;
    JSON::Array m_meetings;
    QString m_selection = QStringLiteral("@meetings");
    QString m_query;
    QString m_from;
    QString m_to;
    QString m_message;
    bool m_busy = false;
    bool m_dirty = false;
    bool m_conflict = false;
    qint64 m_revision = 0;
    JSON::Array m_accounts;
    JSON::Array m_recordings;
    JSON m_resources;
    JSON m_importPreview;
    qint64 m_importSent = 0;
    qint64 m_importTotal = 0;
    JSON m_transcript;
    QString m_language = QStringLiteral("es");

    Clock m_clock;
    SavePanel m_savePanel;
    OpenPanel m_openPanel;
    int m_running = 0; // actions under way through run()
    // The areas, after the fields they use.
    AccountSession m_session;
    DocumentSync m_document;
    Playback m_playback;
    NotionImport m_import;
};

} // namespace quorvale
