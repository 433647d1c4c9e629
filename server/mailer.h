#pragma once

// Delivery of notification e-mails into a local mail spool: one RFC 5322 message per file.

#include <filesystem>
#include <string>
#include <vector>

namespace quorvale::server {

struct OutgoingMail
{
    std::string id; // names the spool file and the Message-ID, so a second delivery overwrites
    std::vector<std::string> to;
    std::string subject; // UTF-8; encoded for the header when it is not plain ASCII
    std::string body;    // UTF-8, lines separated by "\n"
    std::string date;    // the Date header
};

// The message text with CRLF line ends.
std::string renderMail(const OutgoingMail &mail);

// Writes the message into the spool directory atomically; throws when it cannot.
void deliverToSpool(const std::filesystem::path &spool, const OutgoingMail &mail);

} // namespace quorvale::server
