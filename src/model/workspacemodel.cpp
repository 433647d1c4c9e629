#include "workspacemodel.h"

#include "document.h"
#include "draftwriter.h"
#include "localized.h"
#include "service/durablefile.h"
#include "service/secretstore.h"
#include "service/vault.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QPointer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>
#include <QUuid>

#include <coroutine>

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
    , m_drafts(std::make_unique<DraftWriter>(*m_secrets))
{
    QObject::connect(m_drafts.get(), &DraftWriter::written, this, &WorkspaceModel::draftWritten);
}

// Wakes the account check: when its interval is over, when a new check replaces it, and when
// the model goes away. It resumes the sleeping loop directly, so that a model being destroyed
// sees its loop end before it is gone.
class ObservationClock final : public QObject
{
public:
    struct Sleep
    {
        ObservationClock *clock;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> sleeper) noexcept { clock->m_sleeper = sleeper; }
        void await_resume() const noexcept {}
    };

    ObservationClock()
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, this, &ObservationClock::wake);
    }

    Sleep sleep(std::chrono::milliseconds interval)
    {
        m_timer.start(interval);
        return Sleep{this};
    }

    void wake()
    {
        m_timer.stop();
        if (std::coroutine_handle<> sleeper = std::exchange(m_sleeper, nullptr))
            sleeper.resume();
    }

private:
    QTimer m_timer;
    std::coroutine_handle<> m_sleeper;
};

WorkspaceModel::~WorkspaceModel()
{
    // Every task still waiting ends here, while the model is whole: the account check at once,
    // the server calls with a transfer error.
    stopObservation();
    m_service.abortTransfers();
}

// ---------------------------------------------------------------------------------------------
// Fields

void WorkspaceModel::setQuery(const QString &query)
{
    if (m_query != query) {
        m_query = query;
        emit queryChanged();
    }
}

void WorkspaceModel::setFrom(const QString &from)
{
    if (m_from != from) {
        m_from = from;
        emit fromChanged();
    }
}

void WorkspaceModel::setTo(const QString &to)
{
    if (m_to != to) {
        m_to = to;
        emit toChanged();
    }
}

void WorkspaceModel::setMessage(const QString &message)
{
    if (m_message != message) {
        m_message = message;
        emit messageChanged();
    }
}

void WorkspaceModel::setLanguage(const QString &language)
{
    if (m_language != language) {
        m_language = language;
        QSettings().setValue(QStringLiteral("language"), language);
        emit languageChanged();
    }
}

void WorkspaceModel::setAccount(JSON account)
{
    if (m_account.isIdenticalTo(account))
        return;
    const bool sameAccount = m_account.id() == account.id();
    m_account = std::move(account);
    if (!sameAccount)
        beginSession();
    emit accountChanged();
}

void WorkspaceModel::beginSession()
{
    ++m_session;
    m_loaded = false;
    m_draftOpened = false;
    m_toldDraftClosed = false;
    m_editsKept = false;
}

void WorkspaceModel::setMeetings(JSON::Array meetings)
{
    m_meetings = std::move(meetings);
    emit meetingsChanged();
}

void WorkspaceModel::setAccounts(JSON::Array accounts)
{
    m_accounts = std::move(accounts);
    emit accountsChanged();
}

void WorkspaceModel::setTranscript(JSON transcript)
{
    if (m_transcript.isIdenticalTo(transcript))
        return;
    m_transcript = std::move(transcript);
    emit transcriptChanged();
}

void WorkspaceModel::setBusy(bool busy)
{
    if (m_busy != busy) {
        m_busy = busy;
        emit busyChanged();
    }
}

void WorkspaceModel::setConflict(bool conflict)
{
    if (m_conflict != conflict) {
        m_conflict = conflict;
        emit conflictChanged();
    }
}

void WorkspaceModel::setRevision(qint64 revision)
{
    if (m_revision != revision) {
        m_revision = revision;
        emit revisionChanged();
    }
}

void WorkspaceModel::setWorkspace(JSON workspace)
{
    if (m_workspace.isIdenticalTo(workspace))
        return;
    m_workspace = std::move(workspace);
    emit workspaceChanged();
}

void WorkspaceModel::setDirty(bool dirty)
{
    if (m_dirty != dirty) {
        m_dirty = dirty;
        emit dirtyChanged();
    }
}

void WorkspaceModel::setSelection(const QString &selection)
{
    if (m_selection != selection) {
        m_selection = selection;
        emit selectionChanged();
    }
}

void WorkspaceModel::setRecordings(JSON::Array recordings)
{
    if (m_recordings.empty() && recordings.empty())
        return;
    m_recordings = std::move(recordings);
    emit recordingsChanged();
}

void WorkspaceModel::setResources(JSON resources)
{
    if (m_resources.isIdenticalTo(resources))
        return;
    m_resources = std::move(resources);
    emit resourcesChanged();
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

void WorkspaceModel::keepDraft()
{
    if (!m_dirty)
        return;
    const QString account = accountId();
    if (account.isEmpty())
        return; // signed out: there is nobody to keep a draft for
    m_editsKept = false;
    if (!m_draftOpened) {
        // The draft on disk was never read: it may hold work the user has not seen.
        openDraft(account, m_session);
        return;
    }
    m_draftAsked = m_drafts->save(account, draftPayload());
}

void WorkspaceModel::draftWritten(quint64 number, const QString &error)
{
    m_draftAnswered = number;
    if (!error.isEmpty()) {
        setMessage(error);
        return;
    }
    if (number == m_draftAsked && m_draftOpened) {
        m_editsKept = true;
        emit draftKept();
    }
}

QCoro::Task<> WorkspaceModel::flushDraft()
{
    QPointer<WorkspaceModel> self(this);
    co_await m_drafts->flush();
    // The writer's answers were posted before the flush ended: wait for them to arrive.
    while (self && m_draftAnswered < m_draftAsked)
        co_await qCoro(m_drafts.get(), &DraftWriter::written);
}

// Reads the account's draft again, after it could not be opened: once it opens, a draft the
// user has not edited over is recovered, and one they have is set aside, never overwritten.
QCoro::Task<> WorkspaceModel::openDraft(QString account, quint64 session)
{
    if (m_openingDraft)
        co_return;
    m_openingDraft = true;
    QPointer<WorkspaceModel> self(this);
    const DraftRead read = co_await m_drafts->load(account);
    if (!self)
        co_return;
    m_openingDraft = false;
    if (m_session != session || m_draftOpened)
        co_return;
    switch (read.outcome) {
    case DraftRead::Outcome::Unavailable:
        if (!std::exchange(m_toldDraftClosed, true))
            setMessage(read.error);
        co_return;
    case DraftRead::Outcome::None:
        break;
    case DraftRead::Outcome::Damaged:
        co_await setDraftAside(account, session, read.error);
        break;
    case DraftRead::Outcome::Loaded:
        if (!m_dirty) {
            recoverDraft(read.payload, m_revision);
        } else {
            co_await setDraftAside(
                account, session,
                text("Tu borrador local se pudo abrir después de que editaras.",
                     "Your local draft could be opened only after you had edited."));
        }
        break;
    }
    if (!self || m_session != session)
        co_return;
    m_draftOpened = true;
    keepDraft();
}

QCoro::Task<> WorkspaceModel::setDraftAside(QString account, quint64 session, QString reason)
{
    QPointer<WorkspaceModel> self(this);
    const auto [path, error] = co_await m_drafts->setAside(account, m_clock());
    if (!self || m_session != session)
        co_return;
    if (path.isEmpty()) {
        // It stays where it is; nothing is written over it until it can be moved.
        setMessage(error);
        co_return;
    }
    setMessage(
        reason + u' ' +
        text("Se guardó aparte, sin cambios, en %1.", "It was kept, unchanged, as %1.").arg(path));
}

void WorkspaceModel::recoverDraft(const JSON &draft, qint64 serverRevision)
{
    setWorkspace(draft["workspace"]);
    setRevision(draft["revision"].integerValue());
    setDirty(true);
    m_editsKept = true; // it is the draft on disk
    setConflict(m_revision != serverRevision);
    setMessage(
        text("Recuperamos tu borrador local. Revísalo antes de guardar. Si hay un conflicto, "
             "exporta la copia antes de recargar.",
             "Your local draft was recovered. Review it before saving. If there is a "
             "conflict, export your copy before reloading."));
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
    return QString::fromUtf8(id.data(), static_cast<qsizetype>(id.size()));
}

JSON WorkspaceModel::draftPayload() const
{
    return JSON::object({{"revision", m_revision}, {"workspace", m_workspace}});
}

bool WorkspaceModel::approved() const
{
    return m_account["status"].stringValue() == "approved";
}

bool WorkspaceModel::isAdmin() const
{
    return approved() && m_account["role"].stringValue() == "admin";
}

QCoro::Task<> WorkspaceModel::connect()
{
    try {
        const JSON me = co_await m_service.json(QStringLiteral("/auth/me"), "GET");
        setAccount(me["account"]);
        if (approved())
            co_await load();
        observe();
    } catch (const ServiceError &e) {
        if (e.status() == 401) {
            // An expired session: back to the sign-in screen without an alert.
            setAccount(JSON());
            m_service.setToken(std::nullopt);
            Vault::clear(*m_secrets);
        } else {
            setMessage(e.message());
            observeWhileSignedIn();
        }
    } catch (const std::exception &e) {
        setMessage(describe(e));
        // The server may come back: the account check retries what failed.
        observeWhileSignedIn();
    }
}

void WorkspaceModel::observeWhileSignedIn()
{
    if (m_service.token())
        observe();
}

void WorkspaceModel::stopObservation()
{
    // A new generation ends the running loop, which is woken to notice it.
    ++m_observation;
    if (m_observationClock)
        m_observationClock->wake();
}

void WorkspaceModel::observe()
{
    stopObservation();
    if (!m_observationClock)
        m_observationClock = std::make_unique<ObservationClock>();
    observation(m_observation);
}

QCoro::Task<> WorkspaceModel::observation(quint64 generation)
{
    QPointer<WorkspaceModel> self(this);
    for (;;) {
        if (!self || m_observation != generation)
            co_return;
        co_await m_observationClock->sleep(m_observationInterval);
        if (!self || m_observation != generation)
            co_return;
        try {
            const QByteArray body =
                co_await m_service.request(QStringLiteral("/auth/me"), "GET", std::nullopt,
                                           QStringLiteral("application/json"));
            if (!self || m_observation != generation)
                co_return;
            const JSON me = JSON::decode(
                std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
            const bool wasApproved = approved();
            if (me["account"]["status"].stringValue() != "approved")
                clearPrivateMemory();
            setAccount(me["account"]);
            // Approved since the last check, or approved but the first load failed.
            if ((!wasApproved || !m_loaded) && approved() && !m_dirty)
                co_await load();
            if (self && m_observation == generation && isAdmin())
                co_await loadAccounts();
        } catch (const ServiceError &e) {
            if (self && m_observation == generation && (e.status() == 401 || e.status() == 403)) {
                clearPrivateMemory();
                setAccount(JSON());
            }
        } catch (const std::exception &) {
            // The periodic check reports nothing; the next one tries again.
        }
    }
}

void WorkspaceModel::signIn()
{
    run([this]() -> QCoro::Task<> {
        co_await m_service.signIn();
        co_await connect();
    });
}

void WorkspaceModel::logout()
{
    run([this]() -> QCoro::Task<> {
        QPointer<WorkspaceModel> self(this);
        co_await flushDraft();
        if (!self)
            co_return;
        // Edits the draft could not keep (a locked keyring) are exported, or the user stays.
        if (!editsKept() && !exportDraft())
            throw ServiceError(
                0, text("Tus cambios no están en el borrador local. Desbloquea el llavero o "
                        "expórtalos antes de cerrar sesión.",
                        "Your changes are not in the local draft. Unlock the keyring or export "
                        "them before signing out."));
        co_await m_service.logout();
        stopObservation();
        clearPrivateMemory();
        setAccount(JSON());
    });
}

void WorkspaceModel::clearPrivateMemory()
{
    keepDraft();
    // The key and the encoded text go only after that last draft is written.
    m_drafts->forget();
    beginSession();
    setWorkspace(JSON());
    setMeetings({});
    setAccounts({});
    setRecordings({});
    setResources(JSON());
    setTranscript(JSON());
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
    if (!id.startsWith(u'@'))
        loadPage(id);
}

QCoro::Task<> WorkspaceModel::loadPage(QString id)
{
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session;
    // An answer applies only while its page is selected under the same sign-in.
    const auto current = [&] { return self && m_session == session && m_selection == id; };
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

// ---------------------------------------------------------------------------------------------
// Load and save

QCoro::Task<> WorkspaceModel::load()
{
    if (m_dirty)
        throw ServiceError(409, text("Guarda o exporta tus cambios antes de recargar.",
                                     "Save or export your changes before reloading."));
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session;
    const auto current = [&] { return self && m_session == session; };
    const JSON response = co_await m_service.json(QStringLiteral("/api/workspace"), "GET");
    // An edit made while the request was under way must not be replaced.
    if (!current() || m_dirty)
        co_return;
    JSON workspace = response["workspace"];
    setRevision(response["revision"].integerValue());
    if (workspace.isNull()) {
        workspace = JSON::object({{"schemaVersion", 1},
                                  {"name", text("Mi espacio", "My workspace").toStdString()},
                                  {"pages", JSON::array()},
                                  {"activePageId", ""},
                                  {"theme", "light"}});
    }
    setWorkspace(std::move(workspace));
    m_loaded = true;

    // The draft comes first: whatever fails afterwards, unsaved work is back on screen and
    // never overwritten by the next keystroke.
    const QString account = accountId();
    if (!account.isEmpty()) {
        m_draftOpened = false;
        const DraftRead read = co_await m_drafts->load(account);
        if (!current())
            co_return;
        switch (read.outcome) {
        case DraftRead::Outcome::None:
            m_draftOpened = true;
            break;
        case DraftRead::Outcome::Loaded:
            recoverDraft(read.payload, m_revision);
            m_draftOpened = true;
            break;
        case DraftRead::Outcome::Damaged:
            co_await setDraftAside(account, session,
                                   text("Tu borrador local no se pudo leer (%1).",
                                        "Your local draft could not be "
                                        "read (%1).")
                                       .arg(read.error));
            if (!current())
                co_return;
            m_draftOpened = true;
            break;
        case DraftRead::Outcome::Unavailable:
            // Left closed: edits stay in memory and the draft is tried again with each one.
            m_toldDraftClosed = true;
            setMessage(
                text("No se pudo abrir tu borrador local (%1). No se escribirá nada sobre él; "
                     "tus cambios quedan en memoria hasta que se pueda abrir.",
                     "Your local draft could not be opened (%1). Nothing will be written over "
                     "it; your changes stay in memory until it can be opened.")
                    .arg(read.error));
            break;
        }
    }

    const JSON meetings = co_await m_service.json(QStringLiteral("/api/meetings"), "GET");
    if (!current())
        co_return;
    setMeetings(meetings["meetings"].arrayValue());
    if (isAdmin())
        co_await loadAccounts();
}

// A save waits for the one under way, then sends only what is still unsaved.
struct WorkspaceModel::SaveTurn
{
    QPointer<WorkspaceModel> model;
    ~SaveTurn()
    {
        if (WorkspaceModel *m = model.data())
            m->endSave();
    }
};

void WorkspaceModel::endSave()
{
    m_saving = false;
    emit saveEnded();
}

QCoro::Task<> WorkspaceModel::save()
{
    QPointer<WorkspaceModel> self(this);
    const quint64 session = m_session;
    const auto current = [&] { return self && m_session == session; };
    while (m_saving) {
        co_await qCoro(this, &WorkspaceModel::saveEnded);
        if (!current())
            co_return;
    }
    if (!m_dirty)
        co_return;
    m_saving = true;
    const SaveTurn turn{self};
    const JSON snapshot = m_workspace;
    JSON body = JSON::object({{"revision", m_revision}, {"workspace", snapshot}});
    try {
        const JSON response =
            co_await m_service.json(QStringLiteral("/api/workspace"), "PUT", std::move(body));
        if (!current())
            co_return;
        setRevision(response["revision"].integerValue());
        if (m_workspace == snapshot) {
            setDirty(false);
            // A draft never opened may hold other work: it stays.
            if (m_draftOpened)
                m_drafts->remove(accountId());
        } else {
            // The draft follows the new revision, or a crash would bring back a conflict
            // with this very save.
            keepDraft();
        }
        setConflict(false);
        const JSON meetings = co_await m_service.json(QStringLiteral("/api/meetings"), "GET");
        if (!current())
            co_return;
        setMeetings(meetings["meetings"].arrayValue());
    } catch (const ServiceError &e) {
        if (current() && e.status() == 409)
            setConflict(true);
        throw;
    }
}

QCoro::Task<> WorkspaceModel::loadAccounts()
{
    const JSON response = co_await m_service.json(QStringLiteral("/api/admin/accounts"), "GET");
    setAccounts(response["accounts"].arrayValue());
}

// ---------------------------------------------------------------------------------------------
// Backups and files

bool WorkspaceModel::exportDraft()
{
    const QString destination =
        m_savePanel ? m_savePanel(QStringLiteral("quorvale-respaldo.json")) : QString();
    if (destination.isEmpty())
        return false;
    try {
        const std::string text = draftPayload().encode();
        durable::writeFileAtomically(destination, QByteArray::fromStdString(text));
    } catch (const std::exception &e) {
        setMessage(describe(e));
        return false;
    }
    return true;
}

void WorkspaceModel::exportAndReload()
{
    if (!exportDraft())
        return;
    if (m_draftOpened)
        m_drafts->remove(accountId());
    setDirty(false);
    setConflict(false);
    run([this]() -> QCoro::Task<> { co_await load(); });
}

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
