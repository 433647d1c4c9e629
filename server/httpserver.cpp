#include "server/httpserver.h"

#include "server/accesslog.h"
#include "server/certificates.h"
#include "server/dispatcher.h"
#include "server/exchange.h"
#include "server/reply.h"
#include "server/routes.h"
#include "server/signin.h"
#include "server/store.h"
#include "server/util.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iostream>
#include <vector>

namespace quorvale::server {

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;

constexpr int threadCount = 128;

// Set by a handler that wrote the access-log line itself, so that the library's logger, which
// runs on the same thread once the response is out, does not write it twice.
thread_local bool t_loggedByHandler = false;

const char *statusText(int status)
{
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 413:
        return "the request body is too large";
    case 414:
        return "the request line is too long";
    case 500:
        return "internal error";
    default:
        return "the request was refused";
    }
}

} // namespace

class HttpServer::Impl final
{
public:
    Impl(Store &store, const CertificateFiles &certificates, const std::filesystem::path &accessLog,
         std::chrono::seconds codeLifetime);

    httplib::SSLServer &server() { return *m_server; }
    std::atomic<int> busy{0};

private:
    void handle(const Request &request, Response &response, const ContentReader *reader);
    void apply(const Reply &reply, Response &response);

    AccessLog m_log;
    Dispatcher m_dispatcher;
    std::vector<std::unique_ptr<Routes>> m_routes;
    std::unique_ptr<httplib::SSLServer> m_server;
};

HttpServer::Impl::Impl(Store &store, const CertificateFiles &certificates,
                       const std::filesystem::path &accessLog, std::chrono::seconds codeLifetime)
    : m_log(accessLog)
    , m_dispatcher(store.sessions())
{
    m_routes = installRoutes(m_dispatcher, store, codeLifetime);

    const std::string certificate = certificates.certificate.string();
    const std::string key = certificates.key.string();
    m_server = std::make_unique<httplib::SSLServer>([&](SSL_CTX &context) {
        SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
        SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION);
        return SSL_CTX_use_certificate_chain_file(&context, certificate.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&context, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&context) == 1;
    });
    if (!m_server->is_valid())
        throw std::runtime_error("cannot load the server certificate " + certificate);

    auto &server = *m_server;
    // Idle keep-alive connections each hold a thread; with fewer threads than clients, a new
    // connection waits until another has used up its keep-alive requests.
    server.new_task_queue = [] { return new httplib::ThreadPool(threadCount); };
    // Every route that reads a body holds it to its own, smaller limit where it has one.
    server.set_payload_max_length(std::max(HttpServer::maxUploadBytes, HttpServer::maxImportBytes));
    server.set_read_timeout(30);
    server.set_write_timeout(30);
    server.set_keep_alive_max_count(100);
    // Small answers go out at once instead of waiting for the acknowledgement of the headers.
    server.set_tcp_nodelay(true);
    // The library's default also sets SO_REUSEPORT, which would let a second server share a
    // port already in use instead of failing.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });

    // The library's own refusals (a malformed request, a body over its limit) get a JSON
    // body like ours.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request &, Response &response) {
            if (!response.body.empty() || response.content_provider_)
                return httplib::Server::HandlerResponse::Unhandled;
            response.set_content(
                Reply::refusal(response.status, statusText(response.status)).body.encode(),
                "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([this](const Request &request, const Response &response) {
        if (t_loggedByHandler) {
            t_loggedByHandler = false;
            return;
        }
        m_log.write(request, response.status);
    });

    // Routing is ours; the library only hands every request over. Its regular-expression
    // engine recurses once per character, which the library's own 8 KiB cap on the request
    // line keeps well within a thread's stack.
    const std::string anything = R"([\s\S]*)";
    const httplib::Server::Handler plain = [this](const Request &request, Response &response) {
        handle(request, response, nullptr);
    };
    const httplib::Server::HandlerWithContentReader withBody =
        [this](const Request &request, Response &response, const ContentReader &reader) {
            handle(request, response, &reader);
        };
    server.Get(anything, plain);
    server.Options(anything, plain);
    server.Post(anything, withBody);
    server.Put(anything, withBody);
    server.Patch(anything, withBody);
    server.Delete(anything, withBody);
}

void HttpServer::Impl::handle(const Request &request, Response &response,
                              const ContentReader *reader)
{
    ++busy;
    struct Done
    {
        std::atomic<int> &busy;
        ~Done() { --busy; }
    } done{busy};
    t_loggedByHandler = false;

    Exchange exchange(request, response, reader);
    Reply reply;
    try {
        reply = m_dispatcher.dispatch(exchange);
    } catch (const Refusal &e) {
        reply = Reply::refusal(e.status(), e.what());
    } catch (const std::exception &e) {
        std::cerr << "quorvale-server: " << request.method << ' ' << request.path << ": "
                  << e.what() << std::endl;
        reply = Reply::refusal(500, statusText(500));
    }
    // A person reads the sign-in pages: their failures are pages too.
    if (request.path == "/auth/login" && !reply.page)
        reply = Reply::ofPage(reply.status, errorPage(reply.status >= 500 ? signInServerProblem
                                                                          : unreadableSignInForm));
    try {
        exchange.discardBody();
    } catch (const std::exception &) {
        response.set_header("Connection", "close");
    }
    apply(reply, response);
    // Written before the response goes out, so that a client that has its answer finds the
    // line already there.
    m_log.write(request, response.status, reply.status < 300 ? exchange.change : JSON());
    t_loggedByHandler = true;
}

void HttpServer::Impl::apply(const Reply &reply, Response &response)
{
    response.status = reply.status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    if (reply.page) {
        response.set_header("Content-Security-Policy", signInPagePolicy());
        response.set_header("X-Frame-Options", "DENY");
        response.set_header("Referrer-Policy", "no-referrer");
        if (!reply.location.empty())
            response.set_header("Location", reply.location);
        response.set_content(*reply.page, "text/html; charset=utf-8");
        return;
    }
    if (!reply.file && !reply.bytes) {
        response.set_content(reply.body.encode(), "application/json");
        return;
    }
    // The type is whatever the uploader declared: never let a browser run it as a page.
    response.set_header("Content-Security-Policy", "sandbox");
    response.set_header("Content-Disposition", reply.disposition);
    if (reply.bytes) {
        response.set_content(*reply.bytes, reply.fileType);
        return;
    }
    if (reply.file->size() == 0) {
        response.set_content(std::string(), reply.fileType);
        return;
    }
    ++busy;
    auto file = reply.file;
    response.set_content_provider(
        file->size(), reply.fileType,
        [file](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, 64 * 1024> buffer{};
            const long n = file->read(offset, buffer.data(), std::min(length, buffer.size()));
            return n > 0 && sink.write(buffer.data(), static_cast<std::size_t>(n));
        },
        [this, file](bool) { --busy; });
}

std::vector<std::unique_ptr<Routes>> installRoutes(Dispatcher &dispatcher, Store &store,
                                                   std::chrono::seconds codeLifetime)
{
    // Everything under /api is for approved accounts; a caller learns nothing more before.
    dispatcher.guard("/api", Access::Approved);
    std::vector<std::unique_ptr<Routes>> routes;
    routes.push_back(makeAuthRoutes(store, codeLifetime));
    routes.push_back(makeWorkspaceRoutes(store));
    routes.push_back(makeRecordingRoutes(store));
    routes.push_back(makeImportRoutes(store));
    routes.push_back(makeAdminRoutes(store));
    for (const auto &resource : routes)
        resource->registerWith(dispatcher);
    return routes;
}

HttpServer::HttpServer(Store &store, const CertificateFiles &certificates,
                       const std::filesystem::path &accessLog, std::chrono::seconds codeLifetime)
    : m_impl(std::make_unique<Impl>(store, certificates, accessLog, codeLifetime))
{}

HttpServer::~HttpServer() = default;

int HttpServer::listen(const std::string &host, int port)
{
    auto &server = m_impl->server();
    const int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0)
        throw std::runtime_error("cannot listen on " + host + " port " + std::to_string(port));
    return bound;
}

bool HttpServer::run()
{
    return m_impl->server().listen_after_bind();
}

void HttpServer::stop()
{
    m_impl->server().stop();
}

int HttpServer::busy() const
{
    return m_impl->busy.load();
}

} // namespace quorvale::server
