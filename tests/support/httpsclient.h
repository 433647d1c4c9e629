#pragma once
// The server suites' HTTPS client: HTTP/1.1 straight over OpenSSL, so that what the server
// sends comes back byte for byte (header values too). It verifies the reference server's
// certificate against its authority, follows no redirect, and answers every request as status,
// headers and body.
#include "json/json.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace quorvale::test {

class ReferenceServer;

struct HttpsReply
{
    int status = 0;    // 0: no response arrived
    std::string error; // why, when none arrived
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case, values as sent

    std::string header(const std::string &lowerCaseName) const;
    // Null when the body is not JSON.
    JSON json() const;
    // A refusal carries {"error": text}.
    bool isRefusal() const { return json()["error"].isString(); }
};

class HttpsClient final
{
public:
    explicit HttpsClient(const ReferenceServer &server, const std::string &host = "localhost");
    ~HttpsClient();
    HttpsClient(const HttpsClient &) = delete;
    HttpsClient &operator=(const HttpsClient &) = delete;

    HttpsReply get(const std::string &path, const std::string &token = {});
    // An empty contentType sends the header empty rather than leaving it out.
    HttpsReply send(const std::string &method, const std::string &path, const std::string &token,
                    const std::string &body = {},
                    const std::string &contentType = "application/json");
    HttpsReply put(const std::string &path, const std::string &token, const JSON &value);
    HttpsReply post(const std::string &path, const std::string &token, const JSON &value);
    // Sends size bytes made on the fly, with a declared length or in chunks; the body starts
    // with prefix, so that it can open a JSON document.
    HttpsReply stream(const std::string &method, const std::string &path, const std::string &token,
                      const std::string &contentType, std::size_t size, bool chunked,
                      const std::string &prefix = {});

    // Keeps the connection open between requests.
    void setKeepAlive(bool keepAlive);
    // The OpenSSL verification result of the last connection (X509_V_OK when it verified).
    long verifyResult() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// Text as QByteArray, which test failures print.
QByteArray str(std::string_view text);
// The bytes of a file; empty when it cannot be read.
QByteArray readAll(const QString &path);

} // namespace quorvale::test

namespace quorvale {
// Shows JSON values in failure messages.
char *toString(const JSON &value);
} // namespace quorvale
