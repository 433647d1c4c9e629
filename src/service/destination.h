#pragma once

// Which URL a server path may go to: the one check every request of the client passes, kept
// apart from the service so that it can be exercised on its own.

#include <QString>
#include <QUrl>

#include <optional>

namespace quorvale {

// The absolute URL path stands for on origin; none when it would leave the origin (another
// scheme, host, port or user information) or is not a strictly valid reference.
std::optional<QUrl> allowedDestination(const QUrl &origin, const QString &path);

} // namespace quorvale
