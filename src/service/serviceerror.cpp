#include "serviceerror.h"
#include "files/jsontext.h"

#include "json/json.h"

namespace quorvale {

ServiceError::ServiceError(qint64 status, QString message)
    : Error(std::move(message))
    , m_status(status)
{}

ServiceError ServiceError::fromResponse(qint64 status, const QByteArray &body)
{
    switch (status) {
    case 401:
        return {status, QStringLiteral("La sesión venció. Vuelve a iniciar sesión.")};
    case 403:
        return {status, QStringLiteral("Esta cuenta no tiene acceso aprobado.")};
    case 409:
        return {status, QStringLiteral("Hay cambios nuevos en el servidor. Tus cambios siguen "
                                       "aquí; expórtalos antes de recargar.")};
    default:
        break;
    }
    QString detail;
    try {
        const JSON value =
            JSON::decode(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        const std::string_view error = value["error"].stringValue();
        detail = jsontext::text(error);
    } catch (const JSON::DecodeError &) {
        // A body that is not JSON has no detail to offer.
    }
    return {status,
            QStringLiteral("No se pudo completar la operación (%1): %2").arg(status).arg(detail)};
}

} // namespace quorvale
