#pragma once

// The access log: one JSON line per request, appended whole even from many threads.

#include "server/nocopy.h"
#include <httplib.h>

#include <filesystem>
#include <mutex>

namespace quorvale::server {

class AccessLog final
{
public:
    explicit AccessLog(const std::filesystem::path &file);
    ~AccessLog();
    QV_NO_COPY(AccessLog)

    // {"method","path","status","contentType","authorization"}: never a token or a body.
    void write(const httplib::Request &request, int status);

private:
    int m_fd;
    std::mutex m_mutex;
};

} // namespace quorvale::server
