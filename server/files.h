#pragma once

// The files behind recordings and imported files: an upload being written beside its final
// place, and a stored file opened for reading.

#include "server/nocopy.h"
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quorvale::server {

// A private file being received in a directory, under a name that removeAbandoned knows.
// Removed again unless it is moved into place.
class UploadFile final
{
public:
    explicit UploadFile(const std::filesystem::path &dir);
    ~UploadFile();
    QV_NO_COPY(UploadFile)

    // Appends the bytes; false with the reason in error() when the disk refuses.
    bool write(const char *data, std::size_t size);
    // Appends the whole of a regular file; Refusal 400 when source cannot be read.
    void copyFrom(const std::filesystem::path &source);
    // Makes the content durable; throws when the disk refused anything.
    void finish();
    // Renames the finished file to target and runs record, which keeps it: when record throws,
    // the file goes again, so that no file outlives a record that failed.
    void moveTo(const std::filesystem::path &target, const std::function<void()> &record);

    std::int64_t bytes() const { return m_bytes; }
    const std::string &error() const { return m_error; }

    // Removes the uploads in dir that a crash cut short; one still being received, by this or
    // another process, holds its lock and is never touched.
    static void removeAbandoned(const std::filesystem::path &dir);

private:
    void closeFile();

    std::filesystem::path m_path;
    int m_fd = -1;
    bool m_placed = false;
    std::int64_t m_bytes = 0;
    std::string m_error;
};

// A stored file open for reading; it stays readable while a response streams it.
class StoredFile final
{
public:
    // Throws when the file is missing although its record exists.
    static std::shared_ptr<StoredFile> open(const std::filesystem::path &path);
    ~StoredFile();
    QV_NO_COPY(StoredFile)

    std::uint64_t size() const { return m_size; }
    // Up to length bytes from offset; fewer at the end, -1 on failure.
    long read(std::uint64_t offset, char *buffer, std::size_t length) const;
    std::string readAll() const;

private:
    StoredFile(int fd, std::uint64_t size, std::filesystem::path path);

    int m_fd;
    std::uint64_t m_size;
    std::filesystem::path m_path;
};

} // namespace quorvale::server
