#include "server/httpserver.h"

#include "server/certificates.h"
#include "server/imagepreview.h"
#include "server/signin.h"
#include "server/store.h"
#include "server/util.h"
#include "json/json.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvale::server {

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;

constexpr std::size_t maxParameterBytes = 1024;
constexpr std::size_t maxFormBytes = 16 * 1024;
// Larger imported images are offered for download only: decoding them would cost too much.
constexpr std::uint64_t maxPreviewSourceBytes = std::uint64_t{64} << 20;
constexpr int previewSide = 960;

constexpr const char *linkProblem =
    "Este enlace de inicio de sesión no es válido. Vuelve a iniciar sesión desde la aplicación "
    "Quorvale. / This sign-in link is not valid. Start the sign-in again from the Quorvale app.";
constexpr const char *unreadableForm =
    "No se pudo leer el formulario. Vuelve a intentarlo. / The form could not be read. Please "
    "try again.";
constexpr const char *serverProblem = "Algo falló en el servidor. Vuelve a intentarlo. / "
                                      "Something went wrong on the server. Please try again.";
constexpr int threadCount = 32;

// Set by a handler that wrote the access-log line itself, so that the library's logger, which
// runs on the same thread once the response is out, does not write it twice.
thread_local bool t_loggedByHandler = false;

JSON errorBody(std::string_view message)
{
    return JSON::object({{"error", message}});
}

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

Refusal notFound()
{
    return Refusal(404, "not found");
}

Refusal notBuilt()
{
    return Refusal(501, "this call is not available on this server yet");
}

std::vector<std::string_view> segments(std::string_view path)
{
    std::vector<std::string_view> parts;
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    while (true) {
        const auto slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// The first count code points of UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t count)
{
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size() && seen < count; ++seen) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
            ++end;
    }
    return std::string(text.substr(0, end));
}

struct OpenFile
{
    int fd = -1;
    std::uint64_t size = 0;
    OpenFile() = default;
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct Reply
{
    int status = 200;
    JSON body = JSON::object();
    // When set, the file is streamed instead of the JSON body.
    std::shared_ptr<OpenFile> file;
    std::string fileType;
    // The Content-Disposition of the file.
    std::string disposition = "attachment";
    // When set, these bytes of type fileType are answered instead of the JSON body.
    std::optional<std::string> bytes;
    // When set, this sign-in page is answered instead of the JSON body.
    std::optional<std::string> page;
    std::string location;
};

Reply jsonReply(int status, JSON body)
{
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

Reply refusal(int status, std::string_view message)
{
    return jsonReply(status, errorBody(message));
}

Reply fileReply(std::shared_ptr<OpenFile> file, std::string type)
{
    Reply reply;
    reply.file = std::move(file);
    reply.fileType = std::move(type);
    return reply;
}

Reply bytesReply(std::string bytes, std::string type)
{
    Reply reply;
    reply.bytes = std::move(bytes);
    reply.fileType = std::move(type);
    reply.disposition = "inline";
    return reply;
}

// attachment; filename="…"; filename*=UTF-8''… (RFC 6266): the quoted form keeps only
// printable ASCII other than quotes and backslashes, for clients that do not read the other.
std::string attachmentDisposition(std::string_view name)
{
    std::string plain;
    std::string encoded;
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        plain += u >= 0x20 && u < 0x7f && c != '"' && c != '\\' ? c : '_';
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("!#$&+-.^_`|~", c) != nullptr) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[u >> 4];
            encoded += hex[u & 0x0f];
        }
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

// The file opened for reading; throws when it is missing although its record exists.
std::shared_ptr<OpenFile> openStoredFile(const std::filesystem::path &path)
{
    auto file = std::make_shared<OpenFile>();
    file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info
    {};
    if (file->fd < 0 || ::fstat(file->fd, &info) != 0)
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    file->size = static_cast<std::uint64_t>(info.st_size);
    return file;
}

Reply pageReply(int status, std::string html, std::string location = {})
{
    Reply reply;
    reply.status = status;
    reply.page = std::move(html);
    reply.location = std::move(location);
    return reply;
}

bool isFormBody(const Request &request)
{
    constexpr std::string_view formType = "application/x-www-form-urlencoded";
    const std::string type = request.get_header_value("Content-Type");
    return startsWithIgnoringCase(type, formType) &&
           (type.size() == formType.size() || type[formType.size()] == ';' ||
            type[formType.size()] == ' ');
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// A file being received: removed when the upload does not end in the store.
class TemporaryFile final
{
public:
    explicit TemporaryFile(const std::filesystem::path &dir)
        : m_path(dir / (".upload-" + newId() + ".part"))
        , m_fd(::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600))
    {
        if (m_fd < 0)
            throw std::runtime_error("cannot create " + m_path.string() + ": " +
                                     std::strerror(errno));
    }
    ~TemporaryFile()
    {
        closeFile();
        ::unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    // Appends the bytes; false with the reason in error() when the disk refuses.
    bool write(const char *data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_error = std::strerror(errno);
                return false;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // Makes the content durable before the file is renamed into place.
    void finish()
    {
        if (::fsync(m_fd) != 0)
            m_error = std::strerror(errno);
        closeFile();
        if (!m_error.empty())
            throw std::runtime_error("cannot store the recording: " + m_error);
    }
    const std::string &error() const { return m_error; }

private:
    void closeFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    std::filesystem::path m_path;
    int m_fd;
    std::string m_error;
};

// One request being answered. Its body is read at most once, and always to the end, so that
// the connection stays in step for the next request and a client still sending sees the answer.
class Exchange final
{
public:
    enum class Body { Complete, TooLarge, Failed };

    Exchange(const Request &incoming, Response &outgoing, const ContentReader *reader)
        : request(incoming)
        , response(outgoing)
        , m_reader(reader)
    {}

    const Request &request;
    Response &response;

    Body read(const httplib::ContentReceiver &receiver)
    {
        if (!m_reader || m_bodyRead)
            return Body::Complete;
        m_bodyRead = true;
        // A request with neither a length nor chunks has no body; the library would otherwise
        // wait for the connection to close.
        const bool chunked =
            request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
        if (!chunked && !request.has_header("Content-Length"))
            return Body::Complete;
        const int status = response.status;
        const bool ok = (*m_reader)(receiver);
        // The library reports a declared length over its limit as 413 in the response.
        const bool overLimit = response.status == 413;
        response.status = status;
        if (ok)
            return Body::Complete;
        if (!overLimit)
            response.set_header("Connection", "close");
        return overLimit ? Body::TooLarge : Body::Failed;
    }

    void discardBody()
    {
        read([](const char *, std::size_t) { return true; });
    }

    // The whole body; Refusal 413 with the message when it is larger than maxBytes.
    std::string readText(std::size_t maxBytes, const char *tooLargeMessage)
    {
        if (request.get_header_value<std::uint64_t>("Content-Length") > maxBytes) {
            discardBody();
            throw Refusal(413, tooLargeMessage);
        }
        std::string text;
        bool tooLarge = false;
        const Body body = read([&](const char *data, std::size_t size) {
            if (!tooLarge && text.size() + size > maxBytes) {
                tooLarge = true;
                std::string().swap(text);
            }
            if (!tooLarge)
                text.append(data, size);
            return true;
        });
        if (tooLarge || body == Body::TooLarge)
            throw Refusal(413, tooLargeMessage);
        if (body == Body::Failed)
            throw Refusal(400, "the request body could not be read");
        return text;
    }

    JSON readJsonObject()
    {
        const std::string text =
            readText(HttpServer::maxJsonBytes, "the JSON body is larger than 64 MiB");
        JSON value;
        try {
            value = JSON::decode(text);
        } catch (const JSON::DecodeError &e) {
            throw Refusal(400, std::string("the body is not JSON: ") + e.what());
        }
        if (!value.isObject())
            throw Refusal(400, "the body must be a JSON object");
        return value;
    }

private:
    const ContentReader *m_reader;
    bool m_bodyRead = false;
};

class AccessLog final
{
public:
    explicit AccessLog(const std::filesystem::path &file)
        : m_fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600))
    {
        if (m_fd < 0)
            throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    }
    ~AccessLog() { ::close(m_fd); }
    AccessLog(const AccessLog &) = delete;
    AccessLog &operator=(const AccessLog &) = delete;

    void write(const Request &request, int status)
    {
        std::string line =
            JSON::object({{"method", request.method},
                          {"path", request.target.empty() ? request.path : request.target},
                          {"status", status},
                          {"contentType", request.get_header_value("Content-Type")},
                          {"authorization", request.has_header("Authorization")}})
                .encode();
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

private:
    int m_fd;
    std::mutex m_mutex;
};

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
    Reply route(Exchange &exchange);
    Account authenticate(const Request &request);
    static std::string bearerToken(const Request &request);

    Reply signInForm(const Request &request);
    Reply submitSignIn(Exchange &exchange);
    Reply exchangeCode(Exchange &exchange);
    Reply me(const Account &account);
    Reply logout(const Request &request);
    Reply workspace(const Account &account);
    Reply saveWorkspace(Exchange &exchange, const Account &account);
    Reply meetings(const Account &account);
    Reply recordings(const Request &request, const Account &account);
    Reply upload(Exchange &exchange, const Account &account);
    Reply audio(const Account &account, const std::string &recordingId);
    Reply notionFile(const Account &account, const std::string &fileId);
    Reply notionPreview(const Account &account, const std::string &fileId);
    Reply importResources(const Request &request, const Account &account);
    Reply accounts();
    Reply changeAccount(Exchange &exchange, const std::string &accountId);
    Reply retryNotifications(Exchange &exchange);

    Store &m_store;
    AccessLog m_log;
    std::chrono::seconds m_codeLifetime;
    std::unique_ptr<httplib::SSLServer> m_server;
};

HttpServer::Impl::Impl(Store &store, const CertificateFiles &certificates,
                       const std::filesystem::path &accessLog, std::chrono::seconds codeLifetime)
    : m_store(store)
    , m_log(accessLog)
    , m_codeLifetime(codeLifetime)
{
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
    // Idle keep-alive connections each hold a thread; the library's default of eight is
    // quickly taken by a few clients.
    server.new_task_queue = [] { return new httplib::ThreadPool(threadCount); };
    server.set_payload_max_length(HttpServer::maxUploadBytes);
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
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &,
                                                                     Response &response) {
        if (!response.body.empty() || response.content_provider_)
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(errorBody(statusText(response.status)).encode(), "application/json");
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
        reply = route(exchange);
    } catch (const Refusal &e) {
        reply = refusal(e.status(), e.what());
    } catch (const std::exception &e) {
        std::cerr << "quorvale-server: " << request.method << ' ' << request.path << ": "
                  << e.what() << std::endl;
        reply = refusal(500, statusText(500));
    }
    // A person reads the sign-in pages: their failures are pages too.
    if (request.path == "/auth/login" && !reply.page)
        reply = pageReply(reply.status,
                          errorPage(reply.status >= 500 ? serverProblem : unreadableForm));
    try {
        exchange.discardBody();
    } catch (const std::exception &) {
        response.set_header("Connection", "close");
    }
    apply(reply, response);
    // Written before the response goes out, so that a client that has its answer finds the
    // line already there.
    m_log.write(request, response.status);
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
    if (reply.file->size == 0) {
        response.set_content(std::string(), reply.fileType);
        return;
    }
    ++busy;
    auto file = reply.file;
    response.set_content_provider(
        file->size, reply.fileType,
        [file](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, 64 * 1024> buffer{};
            const ssize_t n = ::pread(file->fd, buffer.data(), std::min(length, buffer.size()),
                                      static_cast<off_t>(offset));
            return n > 0 && sink.write(buffer.data(), static_cast<std::size_t>(n));
        },
        [this, file](bool) { --busy; });
}

std::string HttpServer::Impl::bearerToken(const Request &request)
{
    const std::string header = request.get_header_value("Authorization");
    if (!startsWithIgnoringCase(header, "Bearer "))
        return {};
    std::string token = header.substr(7);
    const auto first = token.find_first_not_of(' ');
    const auto last = token.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
}

Account HttpServer::Impl::authenticate(const Request &request)
{
    const std::string token = bearerToken(request);
    if (token.empty())
        throw Refusal(401, "sign-in required");
    auto account = m_store.accountForToken(token);
    if (!account)
        throw Refusal(401, "the session is not valid");
    return *account;
}

Reply HttpServer::Impl::route(Exchange &exchange)
{
    const Request &request = exchange.request;
    const std::string &method = request.method;
    const bool get = method == "GET" || method == "HEAD";
    const auto parts = segments(request.path);
    const auto is = [&](std::initializer_list<std::string_view> expected) {
        return std::equal(parts.begin(), parts.end(), expected.begin(), expected.end());
    };

    // Sign-in needs no session.
    if (is({"auth", "login"}) && get)
        return signInForm(request);
    if (is({"auth", "login"}) && method == "POST")
        return submitSignIn(exchange);
    if (is({"auth", "native", "exchange"}) && method == "POST")
        return exchangeCode(exchange);
    if (is({"auth", "me"}) && get)
        return me(authenticate(request));
    if (is({"auth", "logout"}) && method == "POST")
        return logout(request);
    if (parts.front() != "api")
        throw notFound();

    const Account account = authenticate(request);
    if (account.status != "approved")
        throw Refusal(403, "this account is not approved");

    if (parts.size() >= 2 && parts[1] == "admin") {
        if (account.role != "admin")
            throw Refusal(403, "only administrators may do this");
        if (is({"api", "admin", "accounts"}) && get)
            return accounts();
        if (parts.size() == 4 && parts[2] == "accounts" && method == "POST")
            return changeAccount(exchange, std::string(parts[3]));
        if (is({"api", "admin", "notifications", "retry"}) && method == "POST")
            return retryNotifications(exchange);
        throw notFound();
    }
    if (is({"api", "workspace"}) && get)
        return workspace(account);
    if (is({"api", "workspace"}) && method == "PUT")
        return saveWorkspace(exchange, account);
    if (is({"api", "meetings"}) && get)
        return meetings(account);
    if (is({"api", "recordings"}) && get)
        return recordings(request, account);
    if (is({"api", "recordings"}) && method == "POST")
        return upload(exchange, account);
    if (parts.size() == 4 && parts[1] == "recordings") {
        if (parts[3] == "audio" && get)
            return audio(account, std::string(parts[2]));
        if (parts[3] == "transcribe" || parts[3] == "transcript")
            throw notBuilt();
    }
    if (is({"api", "notion-imports", "resources"}) && get)
        return importResources(request, account);
    if (parts.size() >= 3 && parts[1] == "notion-imports")
        throw notBuilt();
    if (parts.size() == 3 && parts[1] == "notion-files" && get)
        return notionFile(account, std::string(parts[2]));
    if (parts.size() == 4 && parts[1] == "notion-files" && parts[3] == "preview" && get)
        return notionPreview(account, std::string(parts[2]));
    throw notFound();
}

Reply HttpServer::Impl::signInForm(const Request &request)
{
    SignInForm form;
    form.challenge = request.get_param_value("challenge");
    form.appState = request.get_param_value("app_state");
    if (!hasUsableLink(form))
        return pageReply(400, errorPage(linkProblem));
    return pageReply(200, signInPage(form));
}

Reply HttpServer::Impl::submitSignIn(Exchange &exchange)
{
    if (!isFormBody(exchange.request))
        return pageReply(400, errorPage(unreadableForm));
    auto fields = parseFormBody(exchange.readText(maxFormBytes, unreadableForm));
    SignInForm form;
    form.challenge = fields["challenge"];
    form.appState = fields["app_state"];
    form.name = trimmed(fields["name"]);
    form.email = trimmed(fields["email"]);
    if (!hasUsableLink(form))
        return pageReply(400, errorPage(linkProblem));
    if (const auto problem = formProblem(form))
        return pageReply(400, signInPage(form, *problem));

    // Blocked and rejected accounts sign in too: the application shows them their status.
    const Account account = m_store.accountForSignIn(form.email, form.name);
    const std::string code = m_store.createSignInCode(account.id, form.challenge, m_codeLifetime);
    const std::string url = callbackUrl(form.appState, code);
    return pageReply(302, handOverPage(url), url);
}

Reply HttpServer::Impl::exchangeCode(Exchange &exchange)
{
    const JSON body = exchange.readJsonObject();
    const JSON &code = body["code"];
    const JSON &verifier = body["verifier"];
    if (!code.isString())
        throw Refusal(400, "\"code\" and \"verifier\" must be strings");
    // Any attempt with a code uses it up, even one without a verifier.
    const auto token = m_store.redeemSignInCode(code.stringValue(), verifier.stringValue());
    if (!verifier.isString())
        throw Refusal(400, "\"code\" and \"verifier\" must be strings");
    // One answer for an unknown, used, expired or unproven code: none tells which.
    if (!token)
        throw Refusal(400, "the sign-in code is not valid; sign in again");
    return jsonReply(200, JSON::object({{"token", *token}}));
}

Reply HttpServer::Impl::me(const Account &account)
{
    return jsonReply(200, JSON::object({{"account", accountJson(account)}}));
}

Reply HttpServer::Impl::logout(const Request &request)
{
    authenticate(request);
    m_store.revokeToken(bearerToken(request));
    return {};
}

Reply HttpServer::Impl::workspace(const Account &account)
{
    auto stored = m_store.workspace(account.id);
    return jsonReply(200,
                     JSON::object({{"workspace", stored.document}, {"revision", stored.revision}}));
}

Reply HttpServer::Impl::saveWorkspace(Exchange &exchange, const Account &account)
{
    const JSON body = exchange.readJsonObject();
    if (!body["revision"].isNumber())
        throw Refusal(400, "\"revision\" must be a number");
    // Refused rather than stored: a save of nothing must not wipe the document.
    if (!body["workspace"].isObject())
        throw Refusal(400, "\"workspace\" must be an object");
    const auto revision =
        m_store.saveWorkspace(account.id, body["revision"].integerValue(), body["workspace"]);
    if (!revision)
        throw Refusal(409, "the workspace was changed by another save; reload it first");
    return jsonReply(200, JSON::object({{"revision", *revision}}));
}

Reply HttpServer::Impl::meetings(const Account &account)
{
    const auto stored = m_store.workspace(account.id);
    const auto counts = m_store.recordingCounts(account.id);
    JSON list = JSON::array();
    for (const JSON &page : stored.document["pages"].arrayValue()) {
        const JSON &meeting = page["meeting"];
        const JSON &trashed = page["trashed"];
        if (!(meeting.isBool() && meeting.boolValue()) || (trashed.isBool() && trashed.boolValue()))
            continue;
        const std::string id(page.id());
        const auto count = counts.find(id);
        const JSON &batch = page["importBatchId"];
        list.append(
            JSON::object({{"id", id},
                          // Through std::string: the view of a missing title has no data pointer,
                          // which JSON's string constructor does not accept.
                          {"title", std::string(page["title"].stringValue())},
                          {"date", firstCharacters(page["createdAt"].stringValue(), 10)},
                          {"audioCount", count == counts.end() ? std::int64_t{0} : count->second},
                          {"imported", batch.isString() && !batch.stringValue().empty()}}));
    }
    return jsonReply(200, JSON::object({{"meetings", list}}));
}

Reply HttpServer::Impl::recordings(const Request &request, const Account &account)
{
    const std::string pageId = request.get_param_value("pageId");
    if (pageId.empty())
        throw Refusal(400, "pageId is required");
    JSON list = JSON::array();
    for (const auto &recording : m_store.recordings(account.id, pageId))
        list.append(recordingJson(recording));
    return jsonReply(200, JSON::object({{"recordings", list}}));
}

Reply HttpServer::Impl::upload(Exchange &exchange, const Account &account)
{
    const Request &request = exchange.request;
    ReceivedUpload upload;
    upload.pageId = request.get_param_value("pageId");
    upload.uploadId = request.get_param_value("uploadId");
    upload.name = request.get_param_value("name");
    if (upload.pageId.empty() || upload.uploadId.empty())
        throw Refusal(400, "pageId and uploadId are required");
    for (const auto *value : {&upload.pageId, &upload.uploadId, &upload.name}) {
        if (value->size() > maxParameterBytes)
            throw Refusal(400, "a query parameter is longer than 1024 bytes");
    }
    upload.mimeType = request.get_header_value("Content-Type");
    const bool printable = std::all_of(upload.mimeType.begin(), upload.mimeType.end(),
                                       [](char c) { return c >= 0x20 && c < 0x7f; });
    if (upload.mimeType.empty() || !printable || upload.mimeType.size() > 255)
        upload.mimeType = "application/octet-stream";

    // A repeated upload is answered without storing its bytes a second time.
    if (auto existing = m_store.recordingForUpload(account.id, upload.uploadId)) {
        exchange.discardBody();
        return jsonReply(200, recordingJson(*existing));
    }

    const auto dir = m_store.recordingDirectory(account.id);
    makePrivateDirectory(dir);
    TemporaryFile file(dir);
    std::uint64_t bytes = 0;
    bool tooLarge = false;
    bool failed = false;
    const auto body = exchange.read([&](const char *data, std::size_t size) {
        // Past the limit the rest is read and dropped, so the client gets to see the 413.
        if (tooLarge || failed)
            return true;
        if (bytes + size > HttpServer::maxUploadBytes) {
            tooLarge = true;
            return true;
        }
        bytes += size;
        failed = !file.write(data, size);
        return true;
    });
    if (tooLarge || body == Exchange::Body::TooLarge)
        throw Refusal(413, "the recording is larger than 250 MiB");
    if (body == Exchange::Body::Failed)
        throw Refusal(400, "the recording did not arrive completely");
    if (failed)
        throw std::runtime_error("cannot store the recording: " + file.error());
    if (bytes == 0)
        throw Refusal(400, "the recording is empty");
    file.finish();
    upload.bytes = static_cast<std::int64_t>(bytes);
    upload.temporaryFile = file.path();
    const auto [recording, created] = m_store.addRecording(account.id, upload);
    return jsonReply(created ? 201 : 200, recordingJson(recording));
}

Reply HttpServer::Impl::audio(const Account &account, const std::string &recordingId)
{
    const auto recording = m_store.recording(account.id, recordingId);
    if (!recording)
        throw Refusal(404, "there is no such recording");
    return fileReply(openStoredFile(m_store.recordingFile(account.id, recording->id)),
                     recording->mimeType);
}

Reply HttpServer::Impl::notionFile(const Account &account, const std::string &fileId)
{
    // Another account's file is answered exactly as a file that does not exist.
    const auto stored = m_store.notionFile(account.id, fileId);
    if (!stored)
        throw Refusal(404, "there is no such file");
    Reply reply = fileReply(openStoredFile(m_store.notionFilePath(account.id, stored->id)),
                            stored->contentType);
    reply.disposition = attachmentDisposition(stored->name);
    return reply;
}

Reply HttpServer::Impl::notionPreview(const Account &account, const std::string &fileId)
{
    const auto stored = m_store.notionFile(account.id, fileId);
    if (!stored)
        throw Refusal(404, "there is no such file");
    const auto file = openStoredFile(m_store.notionFilePath(account.id, stored->id));
    if (file->size > maxPreviewSourceBytes)
        throw Refusal(404, "this file has no preview");
    std::string bytes(file->size, '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(file->fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot read the file " + stored->id + ": " +
                                     (n < 0 ? std::strerror(errno) : "it ended early"));
        done += static_cast<std::size_t>(n);
    }
    auto preview = makeImagePreview(bytes, previewSide);
    if (!preview)
        throw Refusal(404, "this file has no preview");
    return bytesReply(std::move(preview->bytes), std::move(preview->contentType));
}

Reply HttpServer::Impl::importResources(const Request &request, const Account &account)
{
    const std::string pageId = request.get_param_value("pageId");
    if (pageId.empty())
        throw Refusal(400, "pageId is required");
    if (pageId.size() > maxParameterBytes)
        throw Refusal(400, "a query parameter is longer than 1024 bytes");
    // The files are those of the import the page came from, as the stored workspace says.
    std::string batchId;
    const auto stored = m_store.workspace(account.id);
    for (const JSON &page : stored.document["pages"].arrayValue()) {
        if (page.id() != pageId)
            continue;
        const JSON &batch = page["importBatchId"];
        if (batch.isString())
            batchId = batch.stringValue();
        break;
    }
    JSON files = JSON::array();
    if (!batchId.empty()) {
        for (const auto &file : m_store.notionFiles(account.id, batchId))
            files.append(notionFileJson(file));
    }
    return jsonReply(200, JSON::object({{"files", files},
                                        {"listLayout", m_store.listLayout(account.id, pageId)}}));
}

Reply HttpServer::Impl::accounts()
{
    JSON list = JSON::array();
    for (const auto &account : m_store.accounts())
        list.append(m_store.administrationRecord(account));
    return jsonReply(200, JSON::object({{"accounts", list}}));
}

Reply HttpServer::Impl::changeAccount(Exchange &exchange, const std::string &accountId)
{
    const JSON body = exchange.readJsonObject();
    const std::string status(body["status"].stringValue());
    if (status != "approved" && status != "rejected" && status != "blocked")
        throw Refusal(400, "\"status\" must be \"approved\", \"rejected\" or \"blocked\"");
    const Account changed = m_store.changeStatusAsAdministrator(accountId, status, body["version"]);
    return jsonReply(200, JSON::object({{"account", m_store.administrationRecord(changed)}}));
}

Reply HttpServer::Impl::retryNotifications(Exchange &exchange)
{
    exchange.discardBody();
    const auto delivered = static_cast<std::int64_t>(m_store.deliverPendingMail());
    return jsonReply(200, JSON::object({{"delivered", delivered}}));
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
