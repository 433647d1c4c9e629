#include "server/routes.h"

#include "server/store.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

// The first count code points of UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t count)
{
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size() && seen < count; ++seen) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
            ++end;
    }
    return std::string(text.substr(0, end));
}

bool isTrue(const JSON &value)
{
    return value.isBool() && value.boolValue();
}

// The caller's workspace document, saved on top of the revision it read, and the meetings
// derived from its pages.
class WorkspaceRoutes final : public Routes
{
public:
    using Routes::Routes;

    void registerWith(Dispatcher &dispatcher) override
    {
        route(dispatcher, "GET", "/api/workspace", Access::Approved, this,
              &WorkspaceRoutes::workspace);
        route(dispatcher, "PUT", "/api/workspace", Access::Approved, this, &WorkspaceRoutes::save);
        route(dispatcher, "GET", "/api/meetings", Access::Approved, this,
              &WorkspaceRoutes::meetings);
    }

private:
    Reply workspace(Call &call)
    {
        const Workspace stored = m_store.workspaces().get(call.account().id);
        return Reply::json(
            200, JSON::object({{"workspace", stored.document}, {"revision", stored.revision}}));
    }

    Reply save(Call &call)
    {
        const JSON body = call.exchange.readJsonObject();
        if (!body["revision"].isNumber())
            throw Refusal(400, "\"revision\" must be a number");
        // Refused rather than stored: a save of nothing must not wipe the document.
        if (!body["workspace"].isObject())
            throw Refusal(400, "\"workspace\" must be an object");
        const auto revision = m_store.workspaces().save(
            call.account().id, body["revision"].integerValue(), body["workspace"]);
        if (!revision)
            throw Refusal(409, "the workspace was changed by another save; reload it first");
        return Reply::json(200, JSON::object({{"revision", *revision}}));
    }

    Reply meetings(Call &call)
    {
        const Workspace stored = m_store.workspaces().get(call.account().id);
        const auto counts = m_store.recordings().countsByPage(call.account().id);
        JSON list = JSON::array();
        for (const JSON &page : stored.document["pages"].arrayValue()) {
            if (!isTrue(page["meeting"]) || isTrue(page["trashed"]))
                continue;
            const std::string id(page.id());
            const auto count = counts.find(id);
            const JSON &batch = page["importBatchId"];
            list.append(JSON::object(
                {{"id", id},
                 // Through std::string: the view of a missing title has no data pointer,
                 // which JSON's string constructor does not accept.
                 {"title", std::string(page["title"].stringValue())},
                 {"date", firstCharacters(page["createdAt"].stringValue(), 10)},
                 {"audioCount", count == counts.end() ? std::int64_t{0} : count->second},
                 {"imported", batch.isString() && !batch.stringValue().empty()}}));
        }
        return Reply::json(200, JSON::object({{"meetings", list}}));
    }
};

} // namespace

std::unique_ptr<Routes> makeWorkspaceRoutes(Store &store)
{
    return std::make_unique<WorkspaceRoutes>(store);
}

} // namespace quorvale::server
