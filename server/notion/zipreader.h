#pragma once

// Reads an uploaded ZIP entry by entry, through the ZIPs nested inside it (Notion splits big
// exports into parts), after refusing archives that would escape, flood or exhaust the server.

#include "server/nocopy.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvale::server {

struct ZipLimits
{
    std::uint64_t maxEntries = 100'000;
    std::uint64_t maxBytes = std::uint64_t{4} << 30; // uncompressed, all archives together
    std::uint64_t maxRatio = 200;
    // Below this many uncompressed bytes an entry or an archive is never judged by its ratio: a
    // small, repetitive file compresses well without being a bomb.
    std::uint64_t ratioFloor = std::uint64_t{1} << 20;
    int maxDepth = 3; // ZIPs inside the upload, inside those, and one more level
};

struct ZipEntry
{
    std::string path; // UTF-8, relative, "/"-separated, without "." or empty parts
    std::uint64_t size = 0;
    int archive = 0; // which of the opened archives holds it
    std::uint64_t index = 0;
};

class ZipReader final
{
public:
    // Opens and checks the whole archive, nested ZIPs included; a refused archive throws
    // Refusal (400) saying why, before any entry is handed out. Nested ZIPs are unpacked into
    // scratch, a private directory removed with the reader.
    ZipReader(const std::filesystem::path &archive, const std::filesystem::path &scratch,
              ZipLimits limits = {});
    ~ZipReader();
    QV_NO_COPY(ZipReader)

    // The files of every archive, in archive order, a ZIP at the top of an archive replaced by
    // its contents; directories are left out.
    const std::vector<ZipEntry> &entries() const { return m_entries; }
    const ZipEntry *find(std::string_view path) const;

    // Streams the entry's bytes in chunks; refuses an entry that turns out longer than it said.
    void read(const ZipEntry &entry, const std::function<void(std::string_view)> &sink) const;
    // The first bytes only (at most limit), for sniffing a type.
    std::string head(const ZipEntry &entry, std::size_t limit) const;
    // The whole entry, refused (413) when it is larger than maxBytes.
    std::string readAll(const ZipEntry &entry, std::uint64_t maxBytes) const;

private:
    struct Archive;
    void open(const std::filesystem::path &file, std::uint64_t fileBytes, int depth,
              const std::string &where);

    ZipLimits m_limits;
    std::filesystem::path m_scratch;
    std::vector<std::unique_ptr<Archive>> m_archives;
    std::vector<ZipEntry> m_entries;
    std::unordered_map<std::string, std::size_t> m_byPath;
    std::uint64_t m_entryCount = 0;
    std::uint64_t m_totalBytes = 0;
};

} // namespace quorvale::server
