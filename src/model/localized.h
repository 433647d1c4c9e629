#pragma once

// Every bilingual text of the interface goes through here: English exactly when the language
// is "en", Spanish for any other value.

#include <QString>

namespace quorvale {

inline bool isEnglish(const QString &language)
{
    return language == QLatin1String("en");
}

inline QString localized(const QString &language, const char *spanish, const char *english)
{
    return QString::fromUtf8(isEnglish(language) ? english : spanish);
}

} // namespace quorvale
