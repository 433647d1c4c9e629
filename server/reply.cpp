#include "server/reply.h"

#include "server/text.h"

namespace quorvale::server {

Reply Reply::json(int status, JSON body)
{
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

Reply Reply::refusal(int status, std::string_view message)
{
    return json(status, JSON::object({{"error", message}}));
}

Reply Reply::ofFile(std::shared_ptr<StoredFile> file, std::string type)
{
    Reply reply;
    reply.file = std::move(file);
    reply.fileType = std::move(type);
    return reply;
}

Reply Reply::ofBytes(std::string bytes, std::string type)
{
    Reply reply;
    reply.bytes = std::move(bytes);
    reply.fileType = std::move(type);
    reply.disposition = "inline";
    return reply;
}

Reply Reply::ofPage(int status, std::string html, std::string location)
{
    Reply reply;
    reply.status = status;
    reply.page = std::move(html);
    reply.location = std::move(location);
    return reply;
}

std::string attachmentDisposition(std::string_view name)
{
    std::string plain;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        plain += u >= 0x20 && u < 0x7f && c != '"' && c != '\\' ? c : '_';
    }
    // The attr-chars of RFC 5987 stay as they are.
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" +
           percentEncode(name, "!#$&+-.^_`|~");
}

} // namespace quorvale::server
