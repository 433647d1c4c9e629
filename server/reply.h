#pragma once

// What a route answers: a JSON body, a stored file streamed as it is, bytes made on the spot,
// or a page of the sign-in form. The HTTP layer turns it into a response.

#include "server/files.h"
#include "json/json.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::server {

struct Reply
{
    int status = 200;
    JSON body = JSON::object();
    // When set, the file is streamed instead of the JSON body.
    std::shared_ptr<StoredFile> file;
    std::string fileType;
    // The Content-Disposition of a file or of bytes.
    std::string disposition = "attachment";
    // When set, these bytes of type fileType are answered instead of the JSON body.
    std::optional<std::string> bytes;
    // When set, this sign-in page is answered instead of the JSON body.
    std::optional<std::string> page;
    std::string location;

    static Reply json(int status, JSON body);
    // {"error": message}
    static Reply refusal(int status, std::string_view message);
    static Reply ofFile(std::shared_ptr<StoredFile> file, std::string type);
    static Reply ofBytes(std::string bytes, std::string type);
    static Reply ofPage(int status, std::string html, std::string location = {});
};

// attachment; filename="…"; filename*=UTF-8''… (RFC 6266): the quoted form keeps only
// printable ASCII other than quotes and backslashes, for clients that do not read the other.
std::string attachmentDisposition(std::string_view name);

} // namespace quorvale::server
