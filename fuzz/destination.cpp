// The client's destination check on arbitrary paths: whatever it lets through stays on the
// origin (scheme, host and port, no user information) and passes the check again unchanged.

#include "service/destination.h"

#include <cstdint>
#include <cstdlib>

using namespace quorvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QUrl origin(QStringLiteral("https://localhost:8443"));
    const QString path =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto url = allowedDestination(origin, path);
    if (!url)
        return 0;
    if (url->scheme() != QLatin1String("https") || url->host() != QLatin1String("localhost") ||
        url->port() != 8443 || !url->userInfo().isEmpty())
        std::abort();
    // Compared as sent: QUrl's own equality tells "#" in a fragment from its encoding.
    const QString sent = url->toString(QUrl::FullyEncoded);
    const auto again = allowedDestination(origin, sent);
    if (!again || again->toString(QUrl::FullyEncoded) != sent)
        std::abort();
    return 0;
}
