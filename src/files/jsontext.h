#pragma once

// Text of the document as the page views show it: JSON strings are UTF-8, the widgets' text is
// UTF-16, and a member that is missing or not a string reads as empty.

#include "json/json.h"

#include <QString>

#include <string_view>

namespace quorvale::jsontext {

inline QString text(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline QString member(const JSON &value, std::string_view key)
{
    const JSON &found = value[key];
    return found.isString() ? text(found.stringValue()) : QString();
}

inline JSON value(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return JSON(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

} // namespace quorvale::jsontext
