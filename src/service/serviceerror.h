#pragma once

// The errors of talking to the server: its message is what the user sees, its status what
// callers react to.

#include "files/error.h"

#include <QString>

namespace quorvale {

class ServiceError : public Error
{
public:
    ServiceError(qint64 status, QString message);

    // The HTTP status of a refused response; 0 for failures found on this side.
    qint64 status() const { return m_status; }

    // The error for a refused response: the message chosen by status, with the server's
    // "error" text where the status has no message of its own.
    static ServiceError fromResponse(qint64 status, const QByteArray &body);

private:
    qint64 m_status;
};

// A transfer that never produced a whole response: connection refused, time-out, TLS failure,
// a body cut off.
class TransferError : public Error
{
public:
    using Error::Error;
};

} // namespace quorvale
