#include "server/routes.h"

#include "server/httpserver.h"
#include "server/imagepreview.h"
#include "server/nocopy.h"
#include "server/notion/notionexport.h"
#include "server/notion/zipreader.h"
#include "server/store.h"
#include "server/text.h"
#include "server/util.h"

#include <malloc.h>

#include <fstream>
#include <system_error>

namespace quorvale::server {

namespace {

constexpr std::size_t maxParameterBytes = 1024;
// Larger imported images are offered for download only: decoding them would cost too much.
constexpr std::uint64_t maxPreviewSourceBytes = std::uint64_t{64} << 20;
constexpr int previewSide = 960;

// Removes a directory, with whatever a failed step left in it, when the step ends.
struct ScratchDirectory final
{
    std::filesystem::path path;
    ~ScratchDirectory()
    {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
};

// Gives the memory a conversion freed back to the system when its request ends: each request
// thread keeps its own malloc arena, which would otherwise hold on to the peak of every large
// export converted on it, and the server would grow with each import landing on a new thread.
struct ReturnFreedMemory final
{
    ReturnFreedMemory() = default;
    ~ReturnFreedMemory() { malloc_trim(0); }
    QV_NO_COPY(ReturnFreedMemory)
};

// What Notion imports do for the caller: an uploaded export previewed and kept until it is
// committed into the workspace or discarded, the files of a page's import with its list
// layout, each file as stored, and previews of imported images.
class ImportRoutes final : public Routes
{
public:
    using Routes::Routes;

    void registerWith(Dispatcher &dispatcher) override
    {
        route(dispatcher, "GET", "/api/notion-imports/resources", Access::Approved, this,
              &ImportRoutes::resources);
        route(dispatcher, "POST", "/api/notion-imports/preview", Access::Approved, this,
              &ImportRoutes::previewImport);
        route(dispatcher, "POST", "/api/notion-imports/{}/commit", Access::Approved, this,
              &ImportRoutes::commitImport);
        route(dispatcher, "DELETE", "/api/notion-imports/{}", Access::Approved, this,
              &ImportRoutes::discardImport);
        route(dispatcher, "GET", "/api/notion-files/{}", Access::Approved, this,
              &ImportRoutes::file);
        route(dispatcher, "GET", "/api/notion-files/{}/preview", Access::Approved, this,
              &ImportRoutes::preview);
    }

private:
    Reply previewImport(Call &call)
    {
        const ReturnFreedMemory trim;
        const std::string &accountId = call.account().id;
        std::string name = call.parameter("name");
        if (name.size() > maxParameterBytes)
            throw Refusal(400, "a query parameter is longer than 1024 bytes");
        if (!isValidUtf8(name))
            throw Refusal(400, "the archive's name is not UTF-8");
        if (name.empty())
            name = "notion.zip";
        m_store.imports().removeExpiredImports();
        // The revision is read before the upload: a save during it makes the commit a 409.
        const std::int64_t revision = m_store.workspaces().get(accountId).revision;

        const auto file = m_store.imports().receiveArchive(accountId);
        call.exchange.readInto(*file, HttpServer::maxImportBytes, "archive");

        JSON preview;
        const PendingImport import = m_store.imports().addPending(
            accountId, name, revision, *file, [&](const std::filesystem::path &archive) {
                // A hostile archive throws here, and the store keeps nothing of it.
                const ZipReader reader(archive, m_store.imports().scratchDirectory(accountId));
                preview = convertNotionExport(reader, name).preview();
            });
        preview.set("id", import.id);
        preview.set("revision", import.revision);
        return Reply::json(200, preview);
    }

    Reply commitImport(Call &call)
    {
        const ReturnFreedMemory trim;
        const std::string &accountId = call.account().id;
        const JSON body = call.exchange.readJsonObject();
        if (!body["revision"].isNumber())
            throw Refusal(400, "\"revision\" must be a number");
        if (!body["title"].isNull() && !body["title"].isString())
            throw Refusal(400, "\"title\" must be a string");
        const auto import = m_store.imports().pending(accountId, call.captures[0]);
        if (!import)
            throw Refusal(404, "there is no such import");
        const Workspace workspace = m_store.workspaces().get(accountId);
        if (body["revision"].integerValue() != import->revision ||
            workspace.revision != import->revision)
            throw Refusal(409,
                          "the workspace changed since the preview: preview the archive again");

        ScratchDirectory scratch{m_store.imports().scratchDirectory(accountId)};
        makePrivateDirectory(scratch.path);
        const ZipReader reader(m_store.imports().archiveOf(accountId, *import),
                               scratch.path / "archive");
        const NotionConversion conversion = convertNotionExport(reader, import->name);
        if (conversion.pages.size() < 2)
            throw Refusal(400, "the archive holds nothing to import");

        // The files go in first, each through a scratch copy of its entry; a commit that fails
        // afterwards takes them out again.
        ImportStamp stamp{std::string(body["title"].stringValue()), newId(), isoNow(), {}};
        bool committed = false;
        struct Undo
        {
            ImportStore &imports;
            const std::string &accountId;
            const std::string &batchId;
            const bool &committed;
            ~Undo()
            {
                // Best effort while an error is on its way out: a file left over is only a file.
                try {
                    if (!committed)
                        imports.removeBatch(accountId, batchId);
                } catch (const std::exception &) {
                }
            }
        } undo{m_store.imports(), accountId, stamp.batchId, committed};
        const auto entryCopy = scratch.path / "entry";
        for (const ImportedFile &imported : conversion.files) {
            const ZipEntry *entry = reader.find(imported.path);
            if (!entry)
                continue;
            {
                std::ofstream out(entryCopy, std::ios::binary | std::ios::trunc);
                reader.read(*entry, [&](std::string_view chunk) {
                    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                });
                if (!out.flush())
                    throw std::runtime_error("cannot copy " + imported.path +
                                             " out of the archive");
            }
            stamp.assetIds[imported.path] = m_store.imports()
                                                .addFile(accountId, stamp.batchId, imported.path,
                                                         entryCopy, imported.contentType)
                                                .id;
        }

        JSON document = workspace.document.isObject() ? workspace.document : JSON::object();
        // Pages are only ever added: a document whose pages are not a list is not replaced.
        if (document.contains("pages") && !document["pages"].isArray())
            throw Refusal(409,
                          "the workspace's \"pages\" is not a list: the import would replace it");
        JSON imported = importedPages(conversion, stamp);
        JSON &pages = document.member("pages");
        for (JSON &page : imported.elements())
            pages.append(std::move(page));
        const auto revision = m_store.workspaces().save(
            accountId, import->revision, document, [&](Connection &connection) {
                m_store.imports().finishPending(connection, accountId, import->id,
                                                conversion.listLayouts);
            });
        if (!revision)
            throw Refusal(409,
                          "the workspace changed since the preview: preview the archive again");
        committed = true;
        m_store.imports().removeArchive(accountId, *import);
        return Reply::json(200, JSON::object({{"workspace", document}, {"revision", *revision}}));
    }

    Reply discardImport(Call &call)
    {
        if (!m_store.imports().removePending(call.account().id, call.captures[0]))
            throw Refusal(404, "there is no such import");
        return Reply::json(200, JSON::object());
    }

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
