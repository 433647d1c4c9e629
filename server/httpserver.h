#pragma once

// The HTTPS front of the reference server: routes every call of the client's API to the
// store, answers refusals as {"error": text}, serves the sign-in pages of its own identity
// provider, and appends one line per request to the access log.

#include "server/nocopy.h"
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace quorvale::server {

class Store;
struct CertificateFiles;

class HttpServer final
{
public:
    // Largest JSON body read; larger ones answer 413.
    static constexpr std::size_t maxJsonBytes = std::size_t{64} << 20;
    // Largest recording accepted; larger ones answer 413 and nothing is kept.
    static constexpr std::size_t maxUploadBytes = std::size_t{250} << 20;
    // Largest Notion export accepted: the client sends archives of up to 512 MiB.
    static constexpr std::size_t maxImportBytes = std::size_t{512} << 20;

    // How long a sign-in code may wait for its exchange.
    static constexpr std::chrono::seconds defaultCodeLifetime{300};

    HttpServer(Store &store, const CertificateFiles &certificates,
               const std::filesystem::path &accessLog,
               std::chrono::seconds codeLifetime = defaultCodeLifetime);
    ~HttpServer();
    QV_NO_COPY(HttpServer)

    // Binds and listens; answers the port (the one chosen by the system for port 0).
    // Throws when it cannot.
    int listen(const std::string &host, int port);
    // Accepts and answers until stop(); false when accepting failed.
    bool run();
    // Stops accepting; run() returns once the requests under way are answered.
    void stop();
    // Requests being handled plus responses still streaming a file.
    int busy() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quorvale::server
