#pragma once

// The base of the application's own errors: each carries the text the user is shown. Other
// units derive their errors from it (the server's refusals, transfers, files, capture, media).

#include <QByteArray>
#include <QString>

#include <exception>

namespace quorvale {

class Error : public std::exception
{
public:
    explicit Error(QString message);

    const QString &message() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A local file could not be read, written, moved or given its permissions.
class FileError : public Error
{
public:
    using Error::Error;
};

// What the user is shown for any error: the message of one of ours, else the library's text.
QString describe(const std::exception &error);

} // namespace quorvale
