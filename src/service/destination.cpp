#include "service/destination.h"

namespace quorvale {

std::optional<QUrl> allowedDestination(const QUrl &origin, const QString &path)
{
    // Strict parsing refuses backslashes, spaces, control characters and percent-encoded
    // hosts before resolving can turn them into something valid.
    const QUrl reference(path, QUrl::StrictMode);
    if (path.isEmpty() || !reference.isValid())
        return std::nullopt;
    QUrl url = origin.resolved(reference);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || !url.userInfo().isEmpty() ||
        url.host(QUrl::FullyEncoded) != origin.host(QUrl::FullyEncoded) ||
        url.port(443) != origin.port(443))
        return std::nullopt;
    return url;
}

} // namespace quorvale
