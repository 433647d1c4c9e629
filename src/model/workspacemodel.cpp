#include "workspacemodel.h"

#include "document.h"
#include "localized.h"
#include "service/secretstore.h"

#include <QRandomGenerator>
#include <QUuid>

namespace quorvale {

namespace {

std::string utf8(const QString &text)
{
    return text.toStdString();
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
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{}

WorkspaceModel::~WorkspaceModel() = default;

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
        emit languageChanged();
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
    // Drafts belong to an account: signed out, there is nobody to keep one for.
    if (m_account.id().empty())
        return;
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

} // namespace quorvale
