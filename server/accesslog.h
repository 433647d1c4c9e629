#pragma once

// The access log: one JSON line per request, appended whole even from many threads.

#include "server/nocopy.h"
#include "json/json.h"
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

    // {"method","path","status","contentType","authorization"}, and "change" when the request
    // changed something worth tracing (an account's access): never a token or a body.
    void write(const httplib::Request &request, int status, const JSON &change = JSON());

private:
    int m_fd;
    std::mutex m_mutex;
};

} // namespace quorvale::server
