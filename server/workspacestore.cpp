#include "server/workspacestore.h"

#include "server/util.h"

namespace quorvale::server {

WorkspaceStore::WorkspaceStore(Database &database)
    : m_database(database)
{}

Workspace WorkspaceStore::get(const std::string &accountId)
{
    std::string text;
    Workspace result;
    {
        auto connection = m_database.connect();
        auto query =
            connection->prepare("SELECT revision, document FROM workspaces WHERE account_id = ?1");
        query.bind(accountId);
        if (!query.step())
            return result;
        result.revision = query.integer(0);
        text = query.text(1);
    }
    result.document = JSON::decode(text);
    return result;
}

std::optional<std::int64_t> WorkspaceStore::save(const std::string &accountId, std::int64_t basedOn,
                                                 const JSON &document,
                                                 const std::function<void(Connection &)> &alongside)
{
    // Encoded before the write lock is taken, so that a large document holds it briefly.
    const std::string text = document.encode();
    auto connection = m_database.connect();
    Transaction transaction(*connection);
    auto current = connection->prepare("SELECT revision FROM workspaces WHERE account_id = ?1");
    current.bind(accountId);
    const std::int64_t revision = current.step() ? current.integer(0) : 0;
    if (basedOn != revision)
        return std::nullopt;
    connection
        ->prepare("INSERT INTO workspaces (account_id, revision, document, updated_at) "
                  "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (account_id) DO UPDATE SET "
                  "revision = excluded.revision, document = excluded.document, "
                  "updated_at = excluded.updated_at")
        .bind(accountId, revision + 1, text, isoNow())
        .run();
    if (alongside)
        alongside(*connection);
    transaction.commit();
    return revision + 1;
}

std::string importBatchOfPage(const JSON &document, std::string_view pageId)
{
    for (const JSON &page : document["pages"].arrayValue()) {
        if (page.id() != pageId)
            continue;
        const JSON &batch = page["importBatchId"];
        return batch.isString() ? std::string(batch.stringValue()) : std::string();
    }
    return {};
}

} // namespace quorvale::server
