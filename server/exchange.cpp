#include "server/exchange.h"

#include "server/files.h"
#include "server/httpserver.h"
#include "server/text.h"
#include "server/util.h"

namespace quorvale::server {

Exchange::Exchange(const httplib::Request &incoming, httplib::Response &outgoing,
                   const httplib::ContentReader *reader)
    : request(incoming)
    , response(outgoing)
    , m_reader(reader)
{}

Exchange::Body Exchange::read(const httplib::ContentReceiver &receiver)
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

void Exchange::discardBody()
{
    read([](const char *, std::size_t) { return true; });
}

std::string Exchange::readText(std::size_t maxBytes, const char *tooLargeMessage)
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

void Exchange::readInto(UploadFile &file, std::uint64_t maxBytes, const std::string &what)
{
    std::uint64_t bytes = 0;
    bool tooLarge = false;
    bool failed = false;
    const Body body = read([&](const char *data, std::size_t size) {
        if (tooLarge || failed)
            return true;
        if (bytes + size > maxBytes) {
            tooLarge = true;
            return true;
        }
        bytes += size;
        failed = !file.write(data, size);
        return true;
    });
    if (tooLarge || body == Body::TooLarge)
        throw Refusal(413,
                      "the " + what + " is larger than " + std::to_string(maxBytes >> 20) + " MiB");
    if (body == Body::Failed)
        throw Refusal(400, "the " + what + " did not arrive completely");
    if (failed)
        throw std::runtime_error("cannot store the " + what + ": " + file.error());
    if (bytes == 0)
        throw Refusal(400, "the " + what + " is empty");
}

JSON Exchange::readJsonObject()
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

std::string Exchange::bearerToken() const
{
    const std::string header = request.get_header_value("Authorization");
    if (!startsWithIgnoringCase(header, "Bearer "))
        return {};
    const std::string token = header.substr(7);
    const auto first = token.find_first_not_of(' ');
    const auto last = token.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
}

} // namespace quorvale::server
