#include "httpsclient.h"

#include "referenceserver.h"

#include <httplib.h>

#include <QByteArray>

#include <algorithm>
#include <cctype>

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

class HttpsClient::Impl final
{
public:
    Impl(const std::string &host, int port)
        : client(host, port)
    {}
    httplib::SSLClient client;
};

namespace {

httplib::Headers headersWith(const std::string &token)
{
    httplib::Headers headers;
    if (!token.empty())
        headers.emplace("Authorization", "Bearer " + token);
    return headers;
}

HttpsReply replyOf(const httplib::Result &result)
{
    HttpsReply reply;
    if (!result) {
        reply.error = httplib::to_string(result.error());
        return reply;
    }
    reply.status = result->status;
    reply.body = result->body;
    for (const auto &[name, value] : result->headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        reply.headers.emplace(lower, value);
    }
    return reply;
}

} // namespace

HttpsClient::HttpsClient(const ReferenceServer &server, const std::string &host,
                         bool trustAuthority)
    : m_impl(std::make_unique<Impl>(host, server.port()))
{
    auto &client = m_impl->client;
    if (trustAuthority)
        client.set_ca_cert_path(server.caFile().toStdString());
    client.enable_server_certificate_verification(true);
    client.set_read_timeout(60);
    client.set_write_timeout(60);
}

HttpsClient::~HttpsClient() = default;

HttpsReply HttpsClient::get(const std::string &path, const std::string &token)
{
    return replyOf(m_impl->client.Get(path, headersWith(token)));
}

HttpsReply HttpsClient::send(const std::string &method, const std::string &path,
                             const std::string &token, const std::string &body,
                             const std::string &contentType)
{
    auto headers = headersWith(token);
    // The library would put text/plain in place of no type.
    if (contentType.empty())
        headers.emplace("Content-Type", "");
    auto &client = m_impl->client;
    if (method == "POST")
        return replyOf(client.Post(path, headers, body, contentType));
    if (method == "PUT")
        return replyOf(client.Put(path, headers, body, contentType));
    if (method == "DELETE")
        return replyOf(client.Delete(path, headers, body, contentType));
    return replyOf(client.Get(path, headers));
}

HttpsReply HttpsClient::put(const std::string &path, const std::string &token, const JSON &value)
{
    return send("PUT", path, token, value.encode());
}

HttpsReply HttpsClient::post(const std::string &path, const std::string &token, const JSON &value)
{
    return send("POST", path, token, value.encode());
}

HttpsReply HttpsClient::stream(const std::string &path, const std::string &token, std::size_t size,
                               bool chunked)
{
    auto chunk = std::make_shared<std::string>(64 * 1024, 'q');
    auto &client = m_impl->client;
    if (!chunked) {
        return replyOf(client.Post(
            path, headersWith(token), size,
            [chunk](std::size_t, std::size_t length, httplib::DataSink &sink) {
                return sink.write(chunk->data(), std::min(length, chunk->size()));
            },
            "audio/mp4"));
    }
    return replyOf(client.Post(
        path, headersWith(token),
        [chunk, size](std::size_t offset, httplib::DataSink &sink) {
            if (offset >= size) {
                sink.done();
                return true;
            }
            return sink.write(chunk->data(), std::min(size - offset, chunk->size()));
        },
        "audio/mp4"));
}

void HttpsClient::setKeepAlive(bool keepAlive)
{
    m_impl->client.set_keep_alive(keepAlive);
}

long HttpsClient::verifyResult() const
{
    return m_impl->client.get_openssl_verify_result();
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
