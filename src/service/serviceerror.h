#pragma once

// The errors of talking to the server. ServiceError is also the general error value of the
// whole system: its message is what the user sees, its status what callers react to.

#include <QString>

#include <exception>
#include <stdexcept>

namespace quorvale {

class ServiceError : public std::exception
{
public:
    ServiceError(qint64 status, QString message);

    // The HTTP status of a refused response; 0 for failures found on this side.
    qint64 status() const { return m_status; }
    const QString &message() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

    // The error for a refused response: the message chosen by status, with the server's
    // "error" text where the status has no message of its own.
    static ServiceError fromResponse(qint64 status, const QByteArray &body);

private:
    qint64 m_status;
    QString m_message;
    QByteArray m_utf8;
};

// A transfer that never produced a response: connection refused, time-out, TLS failure.
class TransferError : public std::runtime_error
{
public:
    explicit TransferError(const QString &message);
};

// A local file could not be written, moved or given its permissions.
class FileError : public std::runtime_error
{
public:
    explicit FileError(const QString &message);
};

// The user-readable description of any error: a ServiceError's message, or the text of any
// other error.
QString describe(const std::exception &error);

} // namespace quorvale
