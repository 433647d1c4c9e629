#pragma once

// The access log: one JSON line per request, appended whole even from many threads.

#include <httplib.h>

#include <filesystem>
#include <mutex>

namespace quorvale::server {

class AccessLog final
{
public:
    explicit AccessLog(const std::filesystem::path &file);
    ~AccessLog();
    AccessLog(const AccessLog &) = delete;
    AccessLog &operator=(const AccessLog &) = delete;

    // {"method","path","status","contentType","authorization"}: never a token or a body.
    void write(const httplib::Request &request, int status);

private:
    int m_fd;
    std::mutex m_mutex;
};

} // namespace quorvale::server
