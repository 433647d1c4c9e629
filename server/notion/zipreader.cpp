#include "server/notion/zipreader.h"

#include "server/text.h"
#include "server/util.h"

#include <zip.h>

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>

namespace quorvale::server {

namespace {

constexpr std::size_t chunkBytes = 64 * 1024;

Refusal refused(const std::string &why)
{
    return Refusal(400, "the archive cannot be imported: " + why);
}

bool endsWithZip(std::string_view path)
{
    if (path.size() < 4)
        return false;
    const std::string_view tail = path.substr(path.size() - 4);
    return startsWithIgnoringCase(tail, ".zip");
}

// The entry's name as a relative path inside the export, or a refusal: an entry must never
// reach outside the folder it is unpacked into.
std::string relativePath(std::string name, const std::string &where)
{
    if (!isValidUtf8(name))
        throw refused("the name of an entry" + where + " is not UTF-8");
    // Windows tools write backslashes; they separate folders there too.
    for (char &c : name) {
        if (c == '\\')
            c = '/';
    }
    if (name.starts_with('/') || (name.size() >= 2 && name[1] == ':'))
        throw refused("\"" + name + "\"" + where + " has an absolute path");
    std::string path;
    std::string_view rest = name;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part == "..")
            throw refused("\"" + name + "\"" + where + " points outside the archive");
        if (part.empty() || part == ".")
            continue;
        for (const char c : part) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                throw refused("the name of an entry" + where + " has control characters");
        }
        if (!path.empty())
            path += '/';
        path += part;
    }
    return path;
}

std::uint32_t little(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// libzip refuses an archive whose names claim UTF-8 without being it, calling the archive
// inconsistent; this finds such a name in the central directory so the refusal can say so.
std::optional<std::string> nameClaimingUtf8(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    const std::uint64_t tail = std::min<std::uint64_t>(size, 65535 + 22);
    std::string end(static_cast<std::size_t>(tail), '\0');
    in.seekg(static_cast<std::streamoff>(size - tail));
    in.read(end.data(), static_cast<std::streamsize>(tail));
    const auto record = end.rfind(std::string_view("PK\x05\x06", 4));
    if (!in || record == std::string::npos || record + 22 > end.size())
        return std::nullopt;
    const std::uint32_t directoryBytes = little(end, record + 12, 4);
    const std::uint32_t offset = little(end, record + 16, 4);
    if (directoryBytes > (std::uint32_t{64} << 20) || offset + std::uint64_t{directoryBytes} > size)
        return std::nullopt;
    std::string directory(directoryBytes, '\0');
    in.seekg(offset);
    in.read(directory.data(), directoryBytes);
    for (std::size_t at = 0; in && at + 46 <= directory.size();) {
        if (little(directory, at, 4) != 0x02014b50)
            break;
        const std::uint32_t flags = little(directory, at + 8, 2);
        const std::size_t nameBytes = little(directory, at + 28, 2);
        const std::size_t rest =
            nameBytes + little(directory, at + 30, 2) + little(directory, at + 32, 2);
        if (at + 46 + nameBytes > directory.size())
            break;
        const std::string_view name = std::string_view(directory).substr(at + 46, nameBytes);
        if ((flags & 0x800) != 0 && !isValidUtf8(name))
            return std::string(name);
        at += 46 + rest;
    }
    return std::nullopt;
}

bool tooCompressed(std::uint64_t bytes, std::uint64_t packed, const ZipLimits &limits)
{
    if (bytes < limits.ratioFloor)
        return false;
    return bytes > packed * limits.maxRatio;
}

} // namespace

struct ZipReader::Archive
{
    zip_t *zip = nullptr;
    ~Archive()
    {
        if (zip)
            zip_discard(zip);
    }
};

ZipReader::ZipReader(const std::filesystem::path &archive, const std::filesystem::path &scratch,
                     ZipLimits limits)
    : m_limits(limits)
    , m_scratch(scratch)
{
    try {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(archive, error);
        if (error)
            throw Refusal(400, "the archive cannot be read: " + error.message());
        open(archive, bytes, 0, {});
        // Parts of a split export never repeat a path; were one repeated, the first stands.
        for (std::size_t i = 0; i < m_entries.size(); ++i)
            m_byPath.emplace(m_entries[i].path, i);
    } catch (...) {
        m_archives.clear();
        std::error_code ignored;
        std::filesystem::remove_all(m_scratch, ignored);
        throw;
    }
}

ZipReader::~ZipReader()
{
    m_archives.clear();
    std::error_code ignored;
    std::filesystem::remove_all(m_scratch, ignored);
}

void ZipReader::open(const std::filesystem::path &file, std::uint64_t fileBytes, int depth,
                     const std::string &where)
{
    int code = 0;
    zip_t *zip = zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!zip && code == ZIP_ER_INCONS && nameClaimingUtf8(file))
        throw refused("the name of an entry" + where + " is not UTF-8");
    if (!zip) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const std::string why = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw refused((where.empty() ? std::string("it") : "\"" + where.substr(4) + "\"") +
                      " is not a readable ZIP (" + why + ")");
    }
    const int archiveIndex = static_cast<int>(m_archives.size());
    m_archives.push_back(std::make_unique<Archive>());
    m_archives.back()->zip = zip;

    const zip_int64_t count = zip_get_num_entries(zip, 0);
    m_entryCount += static_cast<std::uint64_t>(count < 0 ? 0 : count);
    if (m_entryCount > m_limits.maxEntries)
        throw refused("it has more than " + std::to_string(m_limits.maxEntries) + " entries");

    // Every entry is judged before any is unpacked, so a bomb is refused without being opened.
    struct Nested
    {
        std::string path;
        std::uint64_t index;
        std::uint64_t size;
    };
    std::vector<ZipEntry> own;
    std::vector<std::pair<std::size_t, Nested>> nested; // position in own, the ZIP
    std::uint64_t archiveBytes = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(zip, i, ZIP_FL_ENC_GUESS, &stat) != 0 || !stat.name)
            throw refused("an entry" + where + " cannot be read");
        const std::string name = stat.name;
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(zip, i, 0, &system, &attributes) == 0 &&
            system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK)
            throw refused("\"" + name + "\"" + where + " is a symbolic link");
        const std::string path = relativePath(name, where);
        if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
            throw refused("\"" + path + "\"" + where + " is encrypted");
        const std::uint64_t size = stat.size;
        if (size > m_limits.maxBytes || m_totalBytes + size > m_limits.maxBytes)
            throw refused("it unpacks to more than " + std::to_string(m_limits.maxBytes >> 20) +
                          " MiB");
        m_totalBytes += size;
        archiveBytes += size;
        if (tooCompressed(size, stat.comp_size, m_limits))
            throw refused("\"" + path + "\"" + where + " is compressed more than " +
                          std::to_string(m_limits.maxRatio) + " to 1");
        if (name.ends_with('/') || path.empty())
            continue;
        // Parts of a split export sit at the top of their archive; a ZIP in a page's folder is
        // a file the user attached, kept as it is.
        if (endsWithZip(path) && path.find('/') == std::string::npos) {
            if (depth + 1 > m_limits.maxDepth)
                throw refused("\"" + path + "\"" + where + " nests ZIPs more than " +
                              std::to_string(m_limits.maxDepth) + " deep");
            nested.push_back({own.size(), {path, i, size}});
            continue;
        }
        own.push_back({path, size, archiveIndex, i});
    }
    if (tooCompressed(archiveBytes, fileBytes, m_limits))
        throw refused((where.empty() ? std::string("it") : "\"" + where.substr(4) + "\"") +
                      " is compressed more than " + std::to_string(m_limits.maxRatio) + " to 1");

    // Nested parts take the place of their ZIP in the order of entries.
    std::size_t taken = 0;
    for (const auto &[position, part] : nested) {
        m_entries.insert(m_entries.end(), own.begin() + static_cast<std::ptrdiff_t>(taken),
                         own.begin() + static_cast<std::ptrdiff_t>(position));
        taken = position;
        makePrivateDirectory(m_scratch);
        const auto target = m_scratch / ("part-" + std::to_string(m_archives.size()) + ".zip");
        std::FILE *out = std::fopen(target.c_str(), "wb");
        if (!out)
            throw Refusal(500, "the server cannot unpack the archive");
        try {
            read(ZipEntry{part.path, part.size, archiveIndex, part.index},
                 [&](std::string_view bytes) {
                     if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
                         throw Refusal(500, "the server cannot unpack the archive");
                 });
        } catch (...) {
            std::fclose(out);
            throw;
        }
        if (std::fclose(out) != 0)
            throw Refusal(500, "the server cannot unpack the archive");
        open(target, part.size, depth + 1, " in " + part.path);
    }
    m_entries.insert(m_entries.end(), own.begin() + static_cast<std::ptrdiff_t>(taken), own.end());
}

const ZipEntry *ZipReader::find(std::string_view path) const
{
    const auto found = m_byPath.find(std::string(path));
    return found == m_byPath.end() ? nullptr : &m_entries[found->second];
}

void ZipReader::read(const ZipEntry &entry, const std::function<void(std::string_view)> &sink) const
{
    zip_t *zip = m_archives.at(static_cast<std::size_t>(entry.archive))->zip;
    zip_file_t *file = zip_fopen_index(zip, entry.index, 0);
    if (!file)
        throw refused("\"" + entry.path + "\" cannot be unpacked (" + zip_strerror(zip) + ")");
    std::array<char, chunkBytes> buffer;
    std::uint64_t total = 0;
    try {
        while (true) {
            const zip_int64_t got = zip_fread(file, buffer.data(), buffer.size());
            if (got < 0)
                throw refused("\"" + entry.path + "\" is damaged (" + zip_file_strerror(file) +
                              ")");
            if (got == 0)
                break;
            total += static_cast<std::uint64_t>(got);
            // The declared sizes were what the limits judged; a lying entry is cut off here.
            if (total > entry.size)
                throw refused("\"" + entry.path + "\" is longer than the archive says");
            sink(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        }
    } catch (...) {
        zip_fclose(file);
        throw;
    }
    zip_fclose(file);
}

std::string ZipReader::head(const ZipEntry &entry, std::size_t limit) const
{
    zip_t *zip = m_archives.at(static_cast<std::size_t>(entry.archive))->zip;
    zip_file_t *file = zip_fopen_index(zip, entry.index, 0);
    if (!file)
        return {};
    std::string bytes(limit, '\0');
    const zip_int64_t got = zip_fread(file, bytes.data(), limit);
    zip_fclose(file);
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
}

std::string ZipReader::readAll(const ZipEntry &entry, std::uint64_t maxBytes) const
{
    if (entry.size > maxBytes)
        throw Refusal(413, "\"" + entry.path + "\" is larger than " +
                               std::to_string(maxBytes >> 20) + " MiB");
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(entry.size));
    read(entry, [&](std::string_view chunk) { bytes.append(chunk); });
    return bytes;
}

} // namespace quorvale::server
