#include "files/error.h"

namespace quorvale {

Error::Error(QString message)
    : m_message(std::move(message))
    , m_utf8(m_message.toUtf8())
{}

QString describe(const std::exception &error)
{
    if (const auto *ours = dynamic_cast<const Error *>(&error))
        return ours->message();
    return QString::fromUtf8(error.what());
}

} // namespace quorvale
