#include "httpsclient.h"

#include "referenceserver.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <functional>

namespace quorvale::test {

std::string HttpsReply::header(const std::string &lowerCaseName) const
{
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? std::string() : found->second;
}

JSON HttpsReply::json() const
{
    try {
        return JSON::decode(body);
    } catch (const JSON::DecodeError &) {
        return JSON();
    }
}

namespace {

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Writes the body; false when the connection failed.
using BodyWriter = std::function<bool(const std::function<bool(const char *, std::size_t)> &)>;

} // namespace

class HttpsClient::Impl final
{
public:
    Impl(std::string host, int port, const std::string &caFile)
        : m_host(std::move(host))
        , m_port(port)
        , m_context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free)
    {
        // A server that closes while a body is still being sent must not end the test run.
        std::signal(SIGPIPE, SIG_IGN);
        SSL_CTX_set_verify(m_context.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_load_verify_locations(m_context.get(), caFile.c_str(), nullptr);
    }
    ~Impl() { disconnect(); }

    HttpsReply request(const std::string &head, const BodyWriter &body)
    {
        HttpsReply reply;
        if (!m_ssl && !connect(reply.error))
            return reply;
        const bool sent = write(head) && (!body || body([this](const char *data, std::size_t size) {
                              return write(data, size);
                          }));
        // A server may answer before it has read everything, and close; its answer counts.
        if (!readReply(reply)) {
            reply.status = 0;
            reply.error = sent ? "no complete answer" : "the request could not be sent";
        }
        if (!keepAlive || reply.status == 0 || lowerCase(reply.header("connection")) == "close")
            disconnect();
        return reply;
    }

    std::string hostHeader() const { return m_host + ':' + std::to_string(m_port); }

    bool keepAlive = false;
    long verifyResult = X509_V_OK;

private:
    bool connect(std::string &error)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (getaddrinfo(m_host.c_str(), std::to_string(m_port).c_str(), &hints, &found) != 0) {
            error = "unknown host";
            return false;
        }
        for (addrinfo *a = found; a && m_socket < 0; a = a->ai_next) {
            m_socket = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (m_socket >= 0 && ::connect(m_socket, a->ai_addr, a->ai_addrlen) != 0) {
                ::close(m_socket);
                m_socket = -1;
            }
        }
        freeaddrinfo(found);
        if (m_socket < 0) {
            error = "cannot connect";
            return false;
        }
        // A stuck server fails the test instead of hanging it.
        const timeval limit{60, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

        m_ssl = SSL_new(m_context.get());
        SSL_set_fd(m_ssl, m_socket);
        // An address is checked as one; a name is also sent for the server to choose by.
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), m_host.c_str()) != 1) {
            // SSL_set_tlsext_host_name(), without the macro's C cast.
            SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char *>(m_host.c_str()));
            SSL_set1_host(m_ssl, m_host.c_str());
        }
        const bool shook = SSL_connect(m_ssl) == 1;
        verifyResult = SSL_get_verify_result(m_ssl);
        if (!shook || verifyResult != X509_V_OK) {
            error = verifyResult != X509_V_OK ? std::string("certificate not trusted: ") +
                                                    X509_verify_cert_error_string(verifyResult)
                                              : "TLS handshake failed";
            disconnect();
            return false;
        }
        return true;
    }

    void disconnect()
    {
        if (m_ssl) {
            SSL_free(m_ssl);
            m_ssl = nullptr;
        }
        if (m_socket >= 0) {
            ::close(m_socket);
            m_socket = -1;
        }
        m_buffer.clear();
        ERR_clear_error();
    }

    bool write(const char *data, std::size_t size)
    {
        while (size > 0) {
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
            const int written = SSL_write(m_ssl, data, chunk);
            if (written <= 0)
                return false;
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }
    bool write(const std::string &text) { return write(text.data(), text.size()); }

    bool fill()
    {
        char chunk[16384];
        const int got = SSL_read(m_ssl, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        m_buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    bool readLine(std::string &line)
    {
        std::size_t end;
        while ((end = m_buffer.find("\r\n")) == std::string::npos) {
            if (!fill())
                return false;
        }
        line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 2);
        return true;
    }

    bool readBytes(std::size_t count, std::string &out)
    {
        while (m_buffer.size() < count) {
            if (!fill())
                return false;
        }
        out.append(m_buffer, 0, count);
        m_buffer.erase(0, count);
        return true;
    }

    bool readReply(HttpsReply &reply)
    {
        std::string line;
        if (!readLine(line) || line.compare(0, 5, "HTTP/") != 0 || line.size() < 12)
            return false;
        reply.status = std::stoi(line.substr(9, 3));
        while (readLine(line) && !line.empty()) {
            const auto colon = line.find(':');
            if (colon == std::string::npos)
                return false;
            const auto value = line.find_first_not_of(' ', colon + 1);
            reply.headers.emplace(lowerCase(line.substr(0, colon)),
                                  value == std::string::npos ? std::string() : line.substr(value));
        }
        if (!line.empty())
            return false;
        if (lowerCase(reply.header("transfer-encoding")).find("chunked") != std::string::npos) {
            while (readLine(line)) {
                const std::size_t size = std::stoul(line, nullptr, 16);
                if (size == 0)
                    return readLine(line);
                if (!readBytes(size, reply.body) || !readLine(line))
                    return false;
            }
            return false;
        }
        if (reply.headers.count("content-length"))
            return readBytes(std::stoul(reply.header("content-length")), reply.body);
        if (reply.status == 204 || reply.status == 304)
            return true;
        while (fill()) {
        }
        reply.body = std::move(m_buffer);
        m_buffer.clear();
        return true;
    }

    std::string m_host;
    int m_port;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_context;
    SSL *m_ssl = nullptr;
    int m_socket = -1;
    std::string m_buffer; // read but not yet taken
};

namespace {

std::string headOf(const std::string &method, const std::string &path, const std::string &host,
                   const std::string &token, bool keepAlive)
{
    std::string head = method + ' ' + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (!token.empty())
        head += "Authorization: Bearer " + token + "\r\n";
    if (!keepAlive)
        head += "Connection: close\r\n";
    return head;
}

} // namespace

HttpsClient::HttpsClient(const ReferenceServer &server, const std::string &host)
    : m_impl(std::make_unique<Impl>(host, server.port(), server.caFile().toStdString()))
{}

HttpsClient::~HttpsClient() = default;

HttpsReply HttpsClient::get(const std::string &path, const std::string &token)
{
    return send("GET", path, token);
}

HttpsReply HttpsClient::send(const std::string &method, const std::string &path,
                             const std::string &token, const std::string &body,
                             const std::string &contentType)
{
    std::string head = headOf(method, path, m_impl->hostHeader(), token, m_impl->keepAlive);
    if (method == "GET")
        return m_impl->request(head + "\r\n", {});
    head += "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n";
    return m_impl->request(head + body, {});
}

HttpsReply HttpsClient::put(const std::string &path, const std::string &token, const JSON &value)
{
    return send("PUT", path, token, value.encode());
}

HttpsReply HttpsClient::post(const std::string &path, const std::string &token, const JSON &value)
{
    return send("POST", path, token, value.encode());
}

HttpsReply HttpsClient::stream(const std::string &method, const std::string &path,
                               const std::string &token, const std::string &contentType,
                               std::size_t size, bool chunked, const std::string &prefix)
{
    std::string head = headOf(method, path, m_impl->hostHeader(), token, m_impl->keepAlive) +
                       "Content-Type: " + contentType + "\r\n" +
                       (chunked ? std::string("Transfer-Encoding: chunked\r\n")
                                : "Content-Length: " + std::to_string(size) + "\r\n") +
                       "\r\n";
    return m_impl->request(head, [&](const auto &write) {
        const std::string filler(64 * 1024, 'q');
        for (std::size_t offset = 0; offset < size;) {
            std::string piece = offset == 0 ? prefix : std::string();
            piece.append(filler, 0, filler.size() - std::min(piece.size(), filler.size()));
            piece.resize(std::min(piece.size(), size - offset));
            offset += piece.size();
            if (chunked) {
                char length[24];
                std::snprintf(length, sizeof length, "%zx\r\n", piece.size());
                piece = length + piece + "\r\n";
            }
            if (!write(piece.data(), piece.size()))
                return false;
        }
        return !chunked || write("0\r\n\r\n", 5);
    });
}

void HttpsClient::setKeepAlive(bool keepAlive)
{
    m_impl->keepAlive = keepAlive;
}

long HttpsClient::verifyResult() const
{
    return m_impl->verifyResult;
}

QByteArray str(std::string_view text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace quorvale::test

namespace quorvale {
char *toString(const JSON &value)
{
    const std::string text = value.encode();
    char *copy = new char[text.size() + 1];
    std::copy(text.begin(), text.end(), copy);
    copy[text.size()] = '\0';
    return copy;
}
} // namespace quorvale
