#pragma once
// The server suites' HTTPS client: verifies the reference server's certificate against its
// authority (or, when asked, against the system's roots only), follows no redirect, and
// answers every request as status, headers and body.
#include "json/json.h"

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
    std::map<std::string, std::string> headers; // names in lower case

    std::string header(const std::string &lowerCaseName) const;
    // Null when the body is not JSON.
    JSON json() const;
    // A refusal carries {"error": text}.
    bool isRefusal() const { return json()["error"].isString(); }
};

class HttpsClient final
{
public:
    explicit HttpsClient(const ReferenceServer &server, const std::string &host = "localhost",
                         bool trustAuthority = true);
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
    // POSTs size bytes of audio made on the fly, with a declared length or in chunks.
    HttpsReply stream(const std::string &path, const std::string &token, std::size_t size,
                      bool chunked);

    // Keeps the connection open between requests.
    void setKeepAlive(bool keepAlive);
    // The OpenSSL verification result of the last connection (X509_V_OK when it verified).
    long verifyResult() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quorvale::test

namespace quorvale {
// Shows JSON values in failure messages.
char *toString(const JSON &value);
} // namespace quorvale
