#pragma once
// ZIP archives written by tests entry by entry with libzip, in the shapes Notion exports take and
// the hostile shapes the server refuses. Suites that include this link libzip.
#include <zip.h>

#include <sys/stat.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <string>

namespace quorvale::test {

// A ZIP written entry by entry; the bytes stay alive until it is closed.
class ZipWriter final
{
public:
    explicit ZipWriter(std::string file)
        : m_file(std::move(file))
    {
        int error = 0;
        m_zip = zip_open(m_file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    }
    ~ZipWriter()
    {
        if (m_zip)
            zip_discard(m_zip);
    }
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    zip_int64_t add(const std::string &name, std::string bytes, zip_flags_t flags = 0)
    {
        const std::string &kept = m_data.emplace_back(std::move(bytes));
        zip_source_t *source = zip_source_buffer(m_zip, kept.data(), kept.size(), 0);
        return zip_file_add(m_zip, name.c_str(), source, flags | ZIP_FL_OVERWRITE);
    }
    void symlink(const std::string &name, const std::string &target)
    {
        const auto index = static_cast<zip_uint64_t>(add(name, target));
        zip_file_set_external_attributes(m_zip, index, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
    }
    // Closes the archive and answers its bytes.
    std::string close()
    {
        zip_close(m_zip);
        m_zip = nullptr;
        std::ifstream in(m_file, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

private:
    std::string m_file;
    zip_t *m_zip = nullptr;
    std::deque<std::string> m_data;
};

} // namespace quorvale::test
