#include "vault.h"

#include "secretstore.h"
#include "serviceerror.h"

#include <QByteArray>
#include <QStringDecoder>

#include <string>

namespace quorvale::Vault {

namespace {

const std::string service = "mx.qvl.quorvale.session";
const std::string account = "session";
const std::string label = "Quorvale: sesión";

} // namespace

std::optional<QString> read(SecretStore &store)
{
    const SecretStore::Lookup found = store.find(service, account);
    if (found.outcome != SecretStore::Outcome::Found)
        return std::nullopt;
    // Strict decoding: a damaged token is no token, rather than one with replacement
    // characters that the server would refuse anyway. A leading BOM is kept as data.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString token =
        utf8(QByteArrayView(found.data.data(), static_cast<qsizetype>(found.data.size())));
    if (utf8.hasError())
        return std::nullopt;
    return token;
}

void save(SecretStore &store, const QString &token)
{
    clear(store);
    const QByteArray utf8 = token.toUtf8();
    const SecretStore::Bytes data(utf8.cbegin(), utf8.cend());
    if (!store.store(service, account, label, data))
        throw ServiceError(0, QStringLiteral("No se pudo guardar la sesión en el llavero."));
}

void clear(SecretStore &store)
{
    store.remove(service, account);
}

} // namespace quorvale::Vault
