#include "server/routes.h"

#include "server/imagepreview.h"
#include "server/store.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr std::size_t maxParameterBytes = 1024;
// Larger imported images are offered for download only: decoding them would cost too much.
constexpr std::uint64_t maxPreviewSourceBytes = std::uint64_t{64} << 20;
constexpr int previewSide = 960;

// What Notion imports left for the caller: the files of a page's import with its list layout,
// each file as stored, and previews of imported images. Previewing and committing a ZIP are
// announced but not built yet (501).
class ImportRoutes final : public Routes
{
public:
    using Routes::Routes;

    void registerWith(Dispatcher &dispatcher) override
    {
        route(dispatcher, "GET", "/api/notion-imports/resources", Access::Approved, this,
              &ImportRoutes::resources);
        dispatcher.add("*", "/api/notion-imports/*", Access::Approved, notBuiltYet);
        route(dispatcher, "GET", "/api/notion-files/{}", Access::Approved, this,
              &ImportRoutes::file);
        route(dispatcher, "GET", "/api/notion-files/{}/preview", Access::Approved, this,
              &ImportRoutes::preview);
    }

private:
    Reply resources(Call &call)
    {
        const std::string &accountId = call.account().id;
        const std::string pageId = call.parameter("pageId");
        if (pageId.empty())
            throw Refusal(400, "pageId is required");
        if (pageId.size() > maxParameterBytes)
            throw Refusal(400, "a query parameter is longer than 1024 bytes");
        // The files are those of the import the page came from, as the stored workspace says.
        const std::string batchId =
            importBatchOfPage(m_store.workspaces().get(accountId).document, pageId);
        JSON files = JSON::array();
        if (!batchId.empty()) {
            for (const auto &file : m_store.imports().files(accountId, batchId))
                files.append(notionFileJson(file));
        }
        return Reply::json(
            200, JSON::object({{"files", files},
                               {"listLayout", m_store.imports().listLayout(accountId, pageId)}}));
    }

    Reply file(Call &call)
    {
        // Another account's file is answered exactly as a file that does not exist.
        const auto stored = m_store.imports().file(call.account().id, call.captures[0]);
        if (!stored)
            throw Refusal(404, "there is no such file");
        Reply reply =
            Reply::ofFile(m_store.imports().open(call.account().id, *stored), stored->contentType);
        reply.disposition = attachmentDisposition(stored->name);
        return reply;
    }

    Reply preview(Call &call)
    {
        const auto stored = m_store.imports().file(call.account().id, call.captures[0]);
        if (!stored)
            throw Refusal(404, "there is no such file");
        const auto file = m_store.imports().open(call.account().id, *stored);
        if (file->size() > maxPreviewSourceBytes)
            throw Refusal(404, "this file has no preview");
        auto preview = makeImagePreview(file->readAll(), previewSide);
        if (!preview)
            throw Refusal(404, "this file has no preview");
        return Reply::ofBytes(std::move(preview->bytes), std::move(preview->contentType));
    }
};

} // namespace

std::unique_ptr<Routes> makeImportRoutes(Store &store)
{
    return std::make_unique<ImportRoutes>(store);
}

} // namespace quorvale::server
