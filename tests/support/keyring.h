#pragma once

// The system keychain for suites that write to it: only the private keyring that
// scripts/with-keyring provides, never a developer's own.

#include "service/secretstore.h"

#include <QByteArray>
#include <QtGlobal>

#include <memory>

namespace quorvale::test {

// Null, with the reason to skip, outside scripts/with-keyring. Inside it the keyring must answer:
// callers check that it does rather than skip.
inline std::unique_ptr<SecretStore> privateKeyring(QByteArray &skipReason)
{
    if (qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING"))
        return SecretStore::system();
    skipReason = "needs the private keyring of scripts/with-keyring (never your own)";
    return nullptr;
}

} // namespace quorvale::test
