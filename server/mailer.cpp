#include "server/mailer.h"

#include "server/util.h"

#include <algorithm>

namespace quorvale::server {

namespace {

constexpr const char *sender = "Quorvale <no-reply@quorvale.localhost>";

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7f;
    });
}

// RFC 2047 encoded words for a header that is not plain ASCII. A word may be 75 characters
// long, so the text goes in pieces of whole characters, one folded line each.
std::string headerText(const std::string &text)
{
    if (isAscii(text))
        return text;
    constexpr std::size_t maxPieceBytes = 45;
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(start + maxPieceBytes, text.size());
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
            --end;
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(std::string_view(text).substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::string joined(const std::vector<std::string> &items, const std::string &separator)
{
    std::string out;
    for (const auto &item : items) {
        if (!out.empty())
            out += separator;
        out += item;
    }
    return out;
}

} // namespace

std::string renderMail(const OutgoingMail &mail)
{
    std::string out;
    out += std::string("From: ") + sender + "\r\n";
    out += "To: " +
           (mail.to.empty() ? std::string("undisclosed-recipients:;") : joined(mail.to, ",\r\n ")) +
           "\r\n";
    out += "Subject: " + headerText(mail.subject) + "\r\n";
    out += "Date: " + mail.date + "\r\n";
    out += "Message-ID: <" + mail.id + "@quorvale.localhost>\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Transfer-Encoding: 8bit\r\n";
    out += "\r\n";
    for (char c : mail.body) {
        if (c == '\n')
            out += "\r\n";
        else if (c != '\r')
            out += c;
    }
    if (!mail.body.empty() && mail.body.back() != '\n')
        out += "\r\n";
    return out;
}

void deliverToSpool(const std::filesystem::path &spool, const OutgoingMail &mail)
{
    makePrivateDirectory(spool);
    writeFileAtomically(spool / (mail.id + ".eml"), renderMail(mail));
}

} // namespace quorvale::server
