#include "server/accesslog.h"

#include "json/json.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quorvale::server {

AccessLog::AccessLog(const std::filesystem::path &file)
    : m_fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600))
{
    if (m_fd < 0)
        throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
}

AccessLog::~AccessLog()
{
    ::close(m_fd);
}

void AccessLog::write(const httplib::Request &request, int status, const JSON &change)
{
    JSON entry = JSON::object({{"method", request.method},
                               {"path", request.target.empty() ? request.path : request.target},
                               {"status", status},
                               {"contentType", request.get_header_value("Content-Type")},
                               {"authorization", request.has_header("Authorization")}});
    if (!change.isNull())
        entry.set("change", change);
    std::string line = entry.encode();
    line += '\n';
    // One write per line; the lock keeps lines whole when a write comes back short.
    const std::lock_guard lock(m_mutex);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(m_fd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<std::size_t>(n);
    }
}

} // namespace quorvale::server
