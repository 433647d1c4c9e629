#include "workspacemodel.h"
#include "files/jsontext.h"

#include "document.h"
#include "localized.h"
#include "service/secretstore.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>
#include <QUuid>

namespace quorvale {

namespace {

std::string utf8(const QString &text)
{
    return text.toStdString();
}

// A page id as the value of a query: nothing in it can end the value or start another.
QString queryValue(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

WorkspaceModel::WorkspaceModel(QObject *parent)
    : WorkspaceModel(SecretStore::system(), Service::defaultOrigin(), Service::defaultAuthorities(),
                     parent)
{}

WorkspaceModel::WorkspaceModel(std::unique_ptr<SecretStore> secrets, QUrl origin,
                               QList<QSslCertificate> authorities, QObject *parent)
    : QObject(parent)
    , m_secrets(std::move(secrets))
    , m_service(*m_secrets, std::move(origin), std::move(authorities))
    , m_language(QSettings().value(QStringLiteral("language"), QStringLiteral("es")).toString())
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
    , m_session(*this)
    , m_document(*this, *m_secrets)
    , m_playback(*this)
    , m_import(*this)
{
    QObject::connect(&m_playback, &Playback::changed, this, &WorkspaceModel::playingChanged);
    // Transfer failures read in the interface's language.
    m_service.setLanguage([this] { return m_language; });
}

WorkspaceModel::~WorkspaceModel()
{
    // Every task still waiting ends here, while the model is whole: the account check at once,
    // the server calls with a transfer error.
    m_session.stopObserving();
    m_service.abortTransfers();
}

// ---------------------------------------------------------------------------------------------
// Fields

// Stores value in field and announces it, only when it changed. Documents compare by identity
// (an edit always makes a new one); short lists from the server compare by content.
template <typename T>
void WorkspaceModel::assign(T &field, T value, void (WorkspaceModel::*changed)())
{
    bool same = false;
    if constexpr (std::is_same_v<T, JSON>)
        same = field.isIdenticalTo(value);
    else
        same = field == value;
    if (same)
        return;
    field = std::move(value);
    emit(this->*changed)();
}

void WorkspaceModel::setQuery(const QString &query)
{
    assign(m_query, query, &WorkspaceModel::queryChanged);
}

void WorkspaceModel::setFrom(const QString &from)
{
    assign(m_from, from, &WorkspaceModel::fromChanged);
}

void WorkspaceModel::setTo(const QString &to)
{
    assign(m_to, to, &WorkspaceModel::toChanged);
}

void WorkspaceModel::setMessage(const QString &message)
{
    assign(m_message, message, &WorkspaceModel::messageChanged);
}

void WorkspaceModel::setLanguage(const QString &language)
{
    if (m_language != language)
        QSettings().setValue(QStringLiteral("language"), language);
    assign(m_language, language, &WorkspaceModel::languageChanged);
}

void WorkspaceModel::setAccount(JSON account)
{
    if (m_account.isIdenticalTo(account))
        return;
    if (m_account.id() != account.id())
        beginSession();
    assign(m_account, std::move(account), &WorkspaceModel::accountChanged);
}

void WorkspaceModel::beginSession()
{
    m_session.begin();
    m_document.reset();
}

void WorkspaceModel::setMeetings(JSON::Array meetings)
{
    assign(m_meetings, std::move(meetings), &WorkspaceModel::meetingsChanged);
}

void WorkspaceModel::setAccounts(JSON::Array accounts)
{
    assign(m_accounts, std::move(accounts), &WorkspaceModel::accountsChanged);
}

void WorkspaceModel::setTranscript(JSON transcript)
{
    assign(m_transcript, std::move(transcript), &WorkspaceModel::transcriptChanged);
}

void WorkspaceModel::setImportPreview(JSON preview)
{
    assign(m_importPreview, std::move(preview), &WorkspaceModel::importPreviewChanged);
}

void WorkspaceModel::setImportRootTitle(const QString &title)
{
    if (m_importPreview.isNull() || jsontext::member(m_importPreview, "rootTitle") == title)
        return;
    JSON preview = m_importPreview;
    preview.set("rootTitle", jsontext::value(title));
    setImportPreview(std::move(preview));
}

void WorkspaceModel::setBusy(bool busy)
{
    assign(m_busy, busy, &WorkspaceModel::busyChanged);
}

void WorkspaceModel::setConflict(bool conflict)
{
    assign(m_conflict, conflict, &WorkspaceModel::conflictChanged);
}

void WorkspaceModel::setRevision(qint64 revision)
{
    assign(m_revision, revision, &WorkspaceModel::revisionChanged);
}

void WorkspaceModel::setWorkspace(JSON workspace)
{
    assign(m_workspace, std::move(workspace), &WorkspaceModel::workspaceChanged);
}

void WorkspaceModel::setDirty(bool dirty)
{
    assign(m_dirty, dirty, &WorkspaceModel::dirtyChanged);
}

void WorkspaceModel::setSelection(const QString &selection)
{
    assign(m_selection, selection, &WorkspaceModel::selectionChanged);
}

void WorkspaceModel::setRecordings(JSON::Array recordings)
{
    assign(m_recordings, std::move(recordings), &WorkspaceModel::recordingsChanged);
}

void WorkspaceModel::setResources(JSON resources)
{
    assign(m_resources, std::move(resources), &WorkspaceModel::resourcesChanged);
}

QString WorkspaceModel::text(const char *spanish, const char *english) const
{
    return localized(m_language, spanish, english);
}

void WorkspaceModel::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

std::string WorkspaceModel::now() const
{
    return utf8(m_clock().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'")));
}

std::string WorkspaceModel::newId()
{
    // QRandomGenerator::system() draws from the operating system's cryptographic source.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QByteArray bytes(reinterpret_cast<const char *>(words), sizeof words);
    bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces).toStdString();
}

// ---------------------------------------------------------------------------------------------
// Document edits

JSON WorkspaceModel::block(std::string_view type) const
{
    return document::block(newId(), type);
}

void WorkspaceModel::newPage(const QString &kind, bool meeting, const QString &parent)
{
    document::NewPage fields;
    fields.id = newId();
    fields.kind = utf8(kind);
    fields.meeting = meeting;
    fields.parentId = parent.isEmpty() ? JSON() : JSON(utf8(parent));
    fields.title =
        utf8(meeting ? text("Nueva reunión", "New meeting") : text("Sin título", "Untitled"));
    fields.firstBlockId = newId();
    fields.now = now();

    document::appendPage(m_workspace, document::page(fields));
    emit workspaceChanged();
    setDirty(true);
    keepDraft();

    // Selected directly: a page just made has no recordings or resources to ask for.
    setSelection(QString::fromStdString(fields.id));
    setRecordings({});
    setResources(JSON());
}

void WorkspaceModel::updatePage(std::string_view id, const std::function<void(JSON &page)> &change)
{
    if (!document::updatePage(m_workspace, id, change, now()))
        return;
    emit workspaceChanged();
    setDirty(true);
    keepDraft();
}

void WorkspaceModel::updateBlock(std::string_view page, std::string_view id, std::string_view key,
                                 JSON value)
{
    updatePage(page, document::setBlockMember(std::string(id), std::string(key), std::move(value)));
}

void WorkspaceModel::addBlock(std::string_view type)
{
    const JSON &page = selectedPage();
    // With no page selected there is nowhere to add to (a page without an id must not
    // receive the block instead).
    if (page.isNull())
        return;
    JSON newBlock = block(type);
    updatePage(std::string(page.id()), document::appendBlock(std::move(newBlock)));
}

void WorkspaceModel::toggleFavorite(std::string_view page)
{
    updatePage(page, document::toggleFavorite());
}

void WorkspaceModel::rename(std::string_view page, const QString &title)
{
    updatePage(page, document::rename(utf8(title)));
}

void WorkspaceModel::addCard(std::string_view page, std::string_view status)
{
    updatePage(page, document::addCard(newId(), utf8(text("Nueva tarea", "New task")),
                                       std::string(status)));
}

void WorkspaceModel::updateCard(std::string_view page, std::string_view card, std::string_view key,
                                const QString &value)
{
    updatePage(page,
               document::setCardMember(std::string(card), std::string(key), JSON(utf8(value))));
}

// ---------------------------------------------------------------------------------------------
// Queries

const JSON &WorkspaceModel::selectedPage() const
{
    static const JSON none;
    if (m_selection.isEmpty())
        return none;
    return document::findPage(m_workspace, utf8(m_selection));
}

JSON::Array WorkspaceModel::visiblePages() const
{
    return document::visiblePages(m_workspace);
}

JSON::Array WorkspaceModel::filteredMeetings() const
{
    return document::filterMeetings(m_meetings, {utf8(m_query), utf8(m_from), utf8(m_to)});
}

// ---------------------------------------------------------------------------------------------
// Account, connection and observation

QString WorkspaceModel::accountId() const
{
    const std::string_view id = m_account.id();
    return jsontext::text(id);
}

bool WorkspaceModel::approved() const
{
    return m_account["status"].stringValue() == "approved";
}

bool WorkspaceModel::isAdmin() const
{
    return approved() && m_account["role"].stringValue() == "admin";
}

// ---------------------------------------------------------------------------------------------
// Areas: the session and the document

QCoro::Task<> WorkspaceModel::connect()
{
    return m_session.connect();
}

void WorkspaceModel::observe()
{
    m_session.observe();
}

void WorkspaceModel::setObservationInterval(std::chrono::milliseconds interval)
{
    m_session.setInterval(interval);
}

void WorkspaceModel::signIn()
{
    m_session.signIn();
}

void WorkspaceModel::logout()
{
    m_session.logout();
}

QCoro::Task<> WorkspaceModel::load()
{
    return m_document.load();
}

QCoro::Task<> WorkspaceModel::save()
{
    return m_document.save();
}

void WorkspaceModel::keepDraft()
{
    m_document.keepDraft();
}

QCoro::Task<> WorkspaceModel::flushDraft()
{
    return m_document.flushDraft();
}

bool WorkspaceModel::editsKept() const
{
    return m_document.editsKept();
}

quint64 WorkspaceModel::draftNumber() const
{
    return m_document.draftNumber();
}

bool WorkspaceModel::draftOpened() const
{
    return m_document.draftOpened();
}

bool WorkspaceModel::exportDraft()
{
    return m_document.exportDraft();
}

void WorkspaceModel::exportAndReload()
{
    m_document.exportAndReload();
}

void WorkspaceModel::play(const JSON &recording)
{
    m_playback.play(recording);
}

void WorkspaceModel::stopPlayback()
{
    m_playback.stop();
}

void WorkspaceModel::showTranscript(const JSON &recording, bool start)
{
    m_playback.showTranscript(recording, start);
}

QMediaPlayer *WorkspaceModel::player() const
{
    return m_playback.player();
}

const QString &WorkspaceModel::playing() const
{
    return m_playback.playing();
}

bool WorkspaceModel::isPlaying() const
{
    return m_playback.isPlaying();
}

void WorkspaceModel::clearPrivateMemory()
{
    keepDraft();
    // The key and the encoded text go only after that last draft is written.
    m_document.forgetKeys();
    beginSession();
    setWorkspace(JSON());
    setMeetings({});
    setAccounts({});
    setRecordings({});
    setResources(JSON());
    setTranscript(JSON());
    setImportPreview(JSON());
    stopPlayback();
    setDirty(false);
    setConflict(false);
}

void WorkspaceModel::run(Action action)
{
    runAction(std::move(action));
}

QCoro::Task<> WorkspaceModel::runAction(Action action)
{
    // A count, not a flag: overlapping actions keep the model busy until the last one ends.
    ++m_running;
    setBusy(true);
    try {
        co_await action();
    } catch (const std::exception &e) {
        setMessage(describe(e));
    }
    if (--m_running == 0)
        setBusy(false);
}

void WorkspaceModel::select(const QString &id)
{
    setSelection(id);
    setResources(JSON());
    setRecordings({});
    setTranscript(JSON());
    stopPlayback();
    if (!id.startsWith(u'@'))
        loadPage(id);
}

QCoro::Task<> WorkspaceModel::loadPage(QString id)
{
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session.number();
    // An answer applies only while its page is selected under the same sign-in.
    const auto current = [&] { return self && m_session.number() == session && m_selection == id; };
    try {
        const JSON recordings = co_await m_service.json(
            QStringLiteral("/api/recordings?pageId=") + queryValue(id), "GET");
        if (!current())
            co_return;
        setRecordings(recordings["recordings"].arrayValue());
        const JSON &page = document::findPage(m_workspace, id.toStdString());
        if (page["importBatchId"].stringValue().empty())
            co_return;
        JSON resources = co_await m_service.json(
            QStringLiteral("/api/notion-imports/resources?pageId=") + queryValue(id), "GET");
        if (current())
            setResources(std::move(resources));
    } catch (const std::exception &e) {
        if (current())
            setMessage(describe(e));
    }
}

QCoro::Task<> WorkspaceModel::recordingUploaded(QString pageId)
{
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session.number();
    const auto current = [&] { return self && m_session.number() == session; };
    if (m_selection == pageId) {
        const JSON recordings = co_await m_service.json(
            QStringLiteral("/api/recordings?pageId=") + queryValue(pageId), "GET");
        if (!current())
            co_return;
        if (m_selection == pageId)
            setRecordings(recordings["recordings"].arrayValue());
    }
    const JSON meetings = co_await m_service.json(QStringLiteral("/api/meetings"), "GET");
    if (current())
        setMeetings(meetings["meetings"].arrayValue());
}

// ---------------------------------------------------------------------------------------------
// Load and save

QCoro::Task<> WorkspaceModel::loadAccounts()
{
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session.number();
    const JSON response = co_await m_service.json(QStringLiteral("/api/admin/accounts"), "GET");
    // A list asked for before a sign-out is not shown to whoever comes next.
    if (self && m_session.number() == session)
        setAccounts(response["accounts"].arrayValue());
}

// ---------------------------------------------------------------------------------------------
// Administration

void WorkspaceModel::changeAccount(const JSON &account, const QString &status)
{
    // The id stays one segment of the path: a slash, "?" or "#" in it reaches no other call.
    const QString path =
        QStringLiteral("/api/admin/accounts/") +
        QString::fromLatin1(QUrl::toPercentEncoding(jsontext::member(account, "id")));
    const JSON body = JSON::object({{"status", utf8(status)}, {"version", account["version"]}});
    run([this, path, body]() -> QCoro::Task<> {
        co_await m_service.json(path, "POST", body);
        co_await loadAccounts();
    });
}

void WorkspaceModel::retryNotifications()
{
    run([this]() -> QCoro::Task<> {
        co_await m_service.json(QStringLiteral("/api/admin/notifications/retry"), "POST",
                                JSON::object());
        co_await loadAccounts();
    });
}

// ---------------------------------------------------------------------------------------------
// Notion import

void WorkspaceModel::importZIP()
{
    m_import.importZIP();
}

void WorkspaceModel::commitImport()
{
    m_import.commit();
}

void WorkspaceModel::cancelImport()
{
    m_import.cancel();
}

// ---------------------------------------------------------------------------------------------
// Backups and files

void WorkspaceModel::saveFile(const QString &path, const QString &name)
{
    const QString proposed = name.section(u'/', -1);
    const QString destination = m_savePanel ? m_savePanel(proposed) : QString();
    if (destination.isEmpty())
        return;
    run([this, path, destination]() -> QCoro::Task<> {
        co_await m_service.download(path, destination);
        setMessage(text("Archivo guardado.", "File saved."));
    });
}

} // namespace quorvale
