// A Notion export from arbitrary bytes: the bytes as one Markdown page, and, when they are a
// ZIP, the archive through the reader and the whole conversion. Refusals are the only way out.

#include "scratch.h"
#include "server/notion/notionexport.h"
#include "server/notion/notionmarkdown.h"
#include "server/notion/zipreader.h"
#include "server/util.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

using namespace quorvale::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const auto page = markdownToBlocks(bytes, [](std::string_view destination) {
        LinkOutcome outcome;
        outcome.destination = std::string(destination);
        return outcome;
    });
    page.blocks.encode();
    if (bytes.substr(0, 2) != "PK")
        return 0;

    const auto archive = quorvale::fuzz::scratchDirectory() / "export.zip";
    std::ofstream(archive, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<long>(size));
    try {
        const ZipReader reader(archive, quorvale::fuzz::scratchDirectory() / "scratch");
        const NotionConversion conversion = convertNotionExport(reader, "export.zip");
        conversion.preview().encode();
        ImportStamp stamp{"", "batch", "2026-01-01T00:00:00Z", {}};
        importedPages(conversion, stamp).encode();
    } catch (const Refusal &) {
    }
    return 0;
}
