#pragma once

// One request being answered. Its body is read at most once, and always to the end, so that
// the connection stays in step for the next request and a client still sending sees the answer.

#include "json/json.h"

#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvale::server {

class UploadFile;

class Exchange final
{
public:
    enum class Body { Complete, TooLarge, Failed };

    Exchange(const httplib::Request &request, httplib::Response &response,
             const httplib::ContentReader *reader);

    const httplib::Request &request;
    httplib::Response &response;

    // Hands the body to receiver as it arrives.
    Body read(const httplib::ContentReceiver &receiver);
    void discardBody();
    // The whole body; Refusal 413 with the message when it is larger than maxBytes.
    std::string readText(std::size_t maxBytes, const char *tooLargeMessage);
    // Streams the body into file; Refusal 413 past maxBytes (the rest is read and dropped, so
    // the client sees the answer), 400 when it is cut short or empty. what names the body in
    // the messages ("recording", "archive").
    void readInto(UploadFile &file, std::uint64_t maxBytes, const std::string &what);
    // Refusal 400 unless the body is a JSON object.
    JSON readJsonObject();

    std::string parameter(const char *name) const { return request.get_param_value(name); }

    // What the request changed, for its line of the access log; null when nothing.
    JSON change;
    // The token of "Authorization: Bearer …"; empty when there is none.
    std::string bearerToken() const;

private:
    const httplib::ContentReader *m_reader;
    bool m_bodyRead = false;
};

} // namespace quorvale::server
