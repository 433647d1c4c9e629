#include "documentsync.h"

#include "workspacemodel.h"

#include "files/durablefile.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QPointer>

namespace quorvale {

DocumentSync::DocumentSync(WorkspaceModel &model, SecretStore &secrets)
    : m_model(model)
    , m_drafts(secrets)
{
    QObject::connect(&m_drafts, &DraftWriter::written, this, &DocumentSync::draftWritten);
}

void DocumentSync::reset()
{
    m_loaded = false;
    m_draftOpened = false;
    m_toldDraftClosed = false;
    m_editsKept = false;
}

bool DocumentSync::editsKept() const
{
    return !m_model.dirty() || m_editsKept;
}

JSON DocumentSync::draftPayload() const
{
    return JSON::object({{"revision", m_model.revision()}, {"workspace", m_model.workspace()}});
}

void DocumentSync::keepDraft()
{
    if (!m_model.m_dirty)
        return;
    const QString account = m_model.accountId();
    if (account.isEmpty())
        return; // signed out: there is nobody to keep a draft for
    m_editsKept = false;
    if (!m_draftOpened) {
        // The draft on disk was never read: it may hold work the user has not seen.
        openDraft(account, m_model.m_session.number());
        return;
    }
    m_draftAsked = m_drafts.save(account, draftPayload());
}

void DocumentSync::draftWritten(quint64 number, const QString &error)
{
    m_draftAnswered = number;
    if (!error.isEmpty()) {
        m_model.setMessage(error);
        return;
    }
    emit m_model.draftStored(number);
    if (number == m_draftAsked && m_draftOpened) {
        m_editsKept = true;
        emit m_model.draftKept();
    }
}

QCoro::Task<> DocumentSync::flushDraft()
{
    QPointer<DocumentSync> self(this);
    co_await m_drafts.flush();
    // The writer's answers were posted before the flush ended: wait for them to arrive.
    while (self && m_draftAnswered < m_draftAsked)
        co_await qCoro(&m_drafts, &DraftWriter::written);
}

// Reads the account's draft again, after it could not be opened: once it opens, a draft the
// user has not edited over is recovered, and one they have is set aside, never overwritten.
QCoro::Task<> DocumentSync::openDraft(QString account, quint64 session)
{
    if (m_openingDraft)
        co_return;
    m_openingDraft = true;
    QPointer<DocumentSync> self(this);
    const DraftRead read = co_await m_drafts.load(account);
    if (!self)
        co_return;
    m_openingDraft = false;
    if (m_model.m_session.number() != session || m_draftOpened)
        co_return;
    switch (read.outcome) {
    case DraftRead::Outcome::Unavailable:
        if (!std::exchange(m_toldDraftClosed, true))
            m_model.setMessage(read.error);
        co_return;
    case DraftRead::Outcome::None:
        break;
    case DraftRead::Outcome::Damaged:
        co_await setDraftAside(account, session, read.error);
        break;
    case DraftRead::Outcome::Loaded:
        if (!m_model.m_dirty) {
            recoverDraft(read.payload, m_model.m_revision);
        } else {
            co_await setDraftAside(
                account, session,
                m_model.text("Tu borrador local se pudo abrir después de que editaras.",
                             "Your local draft could be opened only after you had edited."));
        }
        break;
    }
    if (!self || m_model.m_session.number() != session)
        co_return;
    m_draftOpened = true;
    keepDraft();
}

QCoro::Task<> DocumentSync::setDraftAside(QString account, quint64 session, QString reason)
{
    QPointer<DocumentSync> self(this);
    const auto [path, error] = co_await m_drafts.setAside(account, m_model.m_clock());
    if (!self || m_model.m_session.number() != session)
        co_return;
    if (path.isEmpty()) {
        // It stays where it is; nothing is written over it until it can be moved.
        m_model.setMessage(error);
        co_return;
    }
    m_model.setMessage(
        reason + u' ' +
        m_model.text("Se guardó aparte, sin cambios, en %1.", "It was kept, unchanged, as %1.")
            .arg(path));
}

void DocumentSync::recoverDraft(const JSON &draft, qint64 serverRevision)
{
    m_model.setWorkspace(draft["workspace"]);
    m_model.setRevision(draft["revision"].integerValue());
    m_model.setDirty(true);
    m_editsKept = true; // it is the draft on disk
    m_model.setConflict(m_model.m_revision != serverRevision);
    m_model.setMessage(m_model.text(
        "Recuperamos tu borrador local. Revísalo antes de guardar. Si hay un conflicto, "
        "exporta la copia antes de recargar.",
        "Your local draft was recovered. Review it before saving. If there is a "
        "conflict, export your copy before reloading."));
}

QCoro::Task<> DocumentSync::load()
{
    if (m_model.m_dirty)
        throw ServiceError(409, m_model.text("Guarda o exporta tus cambios antes de recargar.",
                                             "Save or export your changes before reloading."));
    QPointer<DocumentSync> self(this);
    const quint64 session = m_model.m_session.number();
    const auto current = [&] { return self && m_model.m_session.number() == session; };
    const JSON response = co_await m_model.m_service.json(QStringLiteral("/api/workspace"), "GET");
    // An edit made while the request was under way must not be replaced.
    if (!current() || m_model.m_dirty)
        co_return;
    JSON workspace = response["workspace"];
    if (workspace.isNull()) {
        workspace =
            JSON::object({{"schemaVersion", 1},
                          {"name", m_model.text("Mi espacio", "My workspace").toStdString()},
                          {"pages", JSON::array()},
                          {"activePageId", ""},
                          {"theme", "light"}});
    }

    // The draft is read before the server's copy is shown, so that no keystroke lands on a copy
    // the draft then replaces; whatever fails afterwards, unsaved work is back on screen.
    const QString account = m_model.accountId();
    DraftRead read;
    const bool wasOpened = m_draftOpened;
    if (!account.isEmpty()) {
        m_draftOpened = false;
        read = co_await m_drafts.load(account);
        if (!current())
            co_return;
        if (m_model.m_dirty) {
            m_draftOpened = wasOpened;
            co_return;
        }
    }
    m_model.setRevision(response["revision"].integerValue());
    m_model.setWorkspace(std::move(workspace));
    m_loaded = true;
    if (!account.isEmpty()) {
        switch (read.outcome) {
        case DraftRead::Outcome::None:
            m_draftOpened = true;
            break;
        case DraftRead::Outcome::Loaded:
            recoverDraft(read.payload, m_model.m_revision);
            m_draftOpened = true;
            break;
        case DraftRead::Outcome::Damaged:
            co_await setDraftAside(account, session,
                                   m_model
                                       .text("Tu borrador local no se pudo leer (%1).",
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
            m_model.setMessage(
                m_model
                    .text("No se pudo abrir tu borrador local (%1). No se escribirá nada sobre él; "
                          "tus cambios quedan en memoria hasta que se pueda abrir.",
                          "Your local draft could not be opened (%1). Nothing will be written over "
                          "it; your changes stay in memory until it can be opened.")
                    .arg(read.error));
            break;
        }
    }

    const JSON meetings = co_await m_model.m_service.json(QStringLiteral("/api/meetings"), "GET");
    if (!current())
        co_return;
    m_model.setMeetings(meetings["meetings"].arrayValue());
    if (m_model.isAdmin())
        co_await m_model.loadAccounts();
}

// A save waits for the one under way, then sends only what is still unsaved.
struct DocumentSync::SaveTurn
{
    QPointer<DocumentSync> model;
    ~SaveTurn()
    {
        if (DocumentSync *m = model.data())
            m->endSave();
    }
};

void DocumentSync::endSave()
{
    m_saving = false;
    emit saveEnded();
}

QCoro::Task<> DocumentSync::save()
{
    QPointer<DocumentSync> self(this);
    const quint64 session = m_model.m_session.number();
    const auto current = [&] { return self && m_model.m_session.number() == session; };
    while (m_saving) {
        co_await qCoro(this, &DocumentSync::saveEnded);
        if (!current())
            co_return;
    }
    if (!m_model.m_dirty)
        co_return;
    m_saving = true;
    const SaveTurn turn{self};
    const JSON snapshot = m_model.m_workspace;
    JSON body = JSON::object({{"revision", m_model.m_revision}, {"workspace", snapshot}});
    try {
        const JSON response = co_await m_model.m_service.json(QStringLiteral("/api/workspace"),
                                                              "PUT", std::move(body));
        if (!current())
            co_return;
        m_model.setRevision(response["revision"].integerValue());
        if (m_model.m_workspace == snapshot) {
            m_model.setDirty(false);
            // A draft never opened may hold other work: it stays.
            if (m_draftOpened)
                m_drafts.remove(m_model.accountId());
        } else {
            // The draft follows the new revision, or a crash would bring back a conflict
            // with this very save.
            keepDraft();
        }
        m_model.setConflict(false);
        const JSON meetings =
            co_await m_model.m_service.json(QStringLiteral("/api/meetings"), "GET");
        if (!current())
            co_return;
        m_model.setMeetings(meetings["meetings"].arrayValue());
    } catch (const ServiceError &e) {
        if (current() && e.status() == 409)
            m_model.setConflict(true);
        throw;
    }
}

bool DocumentSync::exportDraft()
{
    const QString destination = m_model.m_savePanel
                                    ? m_model.m_savePanel(QStringLiteral("quorvale-respaldo.json"))
                                    : QString();
    if (destination.isEmpty())
        return false;
    try {
        const std::string text = draftPayload().encode();
        durable::writeFileAtomically(destination, QByteArray::fromStdString(text));
    } catch (const std::exception &e) {
        m_model.setMessage(describe(e));
        return false;
    }
    return true;
}

void DocumentSync::exportAndReload()
{
    if (!exportDraft())
        return;
    if (m_draftOpened)
        m_drafts.remove(m_model.accountId());
    m_model.setDirty(false);
    m_model.setConflict(false);
    WorkspaceModel *model = &m_model;
    model->run([model]() -> QCoro::Task<> { co_await model->load(); });
}

} // namespace quorvale
