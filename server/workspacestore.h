#pragma once

// One workspace document per account, saved only on top of the revision the client last read.

#include "server/database.h"
#include "json/json.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::server {

struct Workspace
{
    JSON document; // null when none was saved yet
    std::int64_t revision = 0;
};

class WorkspaceStore final
{
public:
    explicit WorkspaceStore(Database &database);

    Workspace get(const std::string &accountId);
    // Stores the document when basedOn is the current revision and answers the new one;
    // nothing when another save came first.
    // alongside runs in the same transaction once the revision matched; when it throws,
    // nothing is saved.
    std::optional<std::int64_t> save(const std::string &accountId, std::int64_t basedOn,
                                     const JSON &document,
                                     const std::function<void(Connection &)> &alongside = {});

private:
    Database &m_database;
};

// The batch of the import a page of the document came from; empty when it came from none.
std::string importBatchOfPage(const JSON &document, std::string_view pageId);

} // namespace quorvale::server
