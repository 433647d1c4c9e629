#include "server/files.h"

#include "server/util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvale::server {

namespace {

constexpr std::string_view uploadPrefix = ".upload-";
constexpr std::string_view uploadSuffix = ".part";

std::string errnoText()
{
    return std::strerror(errno);
}

} // namespace

UploadFile::UploadFile(const std::filesystem::path &dir)
    : m_path(dir / (std::string(uploadPrefix) + newId() + std::string(uploadSuffix)))
    , m_fd(::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600))
{
    if (m_fd < 0)
        throw std::runtime_error("cannot create " + m_path.string() + ": " + errnoText());
    // Held while the file lives: removeAbandoned tells a live writer from a dead one by it.
    ::flock(m_fd, LOCK_EX);
}

UploadFile::~UploadFile()
{
    closeFile();
    if (!m_placed)
        ::unlink(m_path.c_str());
}

void UploadFile::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool UploadFile::write(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = errnoText();
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        m_bytes += n;
    }
    return true;
}

void UploadFile::copyFrom(const std::filesystem::path &source)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw Refusal(400, "cannot read " + source.string() + ": " + errnoText());
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closeIn{in};
    struct stat info
    {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode))
        throw Refusal(400, source.string() + " is not a regular file");
    std::vector<char> buffer(std::size_t{1} << 16);
    while (true) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Refusal(400, "cannot read " + source.string() + ": " + errnoText());
        if (n == 0)
            return;
        if (!write(buffer.data(), static_cast<std::size_t>(n)))
            throw std::runtime_error("cannot write " + m_path.string() + ": " + m_error);
    }
}

void UploadFile::finish()
{
    if (m_fd >= 0 && ::fsync(m_fd) != 0 && m_error.empty())
        m_error = errnoText();
    if (!m_error.empty())
        throw std::runtime_error("cannot write " + m_path.string() + ": " + m_error);
}

void UploadFile::moveTo(const std::filesystem::path &target, const std::function<void()> &record)
{
    finish();
    if (std::rename(m_path.c_str(), target.c_str()) != 0)
        throw std::runtime_error("cannot store " + target.string() + ": " + errnoText());
    m_placed = true;
    closeFile();
    try {
        // The file's name is durable before the record that points to it is.
        syncDirectory(target.parent_path());
        record();
    } catch (...) {
        std::remove(target.c_str());
        throw;
    }
}

void UploadFile::removeAbandoned(const std::filesystem::path &dir)
{
    namespace fs = std::filesystem;
    std::error_code error;
    try {
        for (const auto &account : fs::directory_iterator(dir, error)) {
            for (const auto &file : fs::directory_iterator(account.path(), error)) {
                const std::string name = file.path().filename().string();
                if (name.rfind(uploadPrefix, 0) != 0 || file.path().extension() != uploadSuffix)
                    continue;
                // Its writer's lock went with it; a file still locked is being received.
                const int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0)
                    continue;
                if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                    fs::remove(file.path(), error);
                ::close(fd);
            }
        }
    } catch (const fs::filesystem_error &) {
        // Best effort: what cannot be listed now is tried again at the next start.
    }
}

std::shared_ptr<StoredFile> StoredFile::open(const std::filesystem::path &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info
    {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const std::string reason = errnoText();
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot open " + path.string() + ": " + reason);
    }
    return std::shared_ptr<StoredFile>(
        new StoredFile(fd, static_cast<std::uint64_t>(info.st_size), path));
}

StoredFile::StoredFile(int fd, std::uint64_t size, std::filesystem::path path)
    : m_fd(fd)
    , m_size(size)
    , m_path(std::move(path))
{}

StoredFile::~StoredFile()
{
    ::close(m_fd);
}

long StoredFile::read(std::uint64_t offset, char *buffer, std::size_t length) const
{
    while (true) {
        const ssize_t n = ::pread(m_fd, buffer, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

std::string StoredFile::readAll() const
{
    std::string bytes(m_size, '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long n = read(done, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("cannot read " + m_path.string() + ": " +
                                     (n < 0 ? errnoText() : "it ended early"));
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

} // namespace quorvale::server
