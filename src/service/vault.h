#pragma once

// The stored session: one keychain item holding the session token, so that a session
// survives a restart.

#include <QString>

#include <optional>

namespace quorvale {

class SecretStore;

namespace Vault {

// The token, or nothing when there is no item, the keychain cannot answer, or the stored
// bytes are not valid UTF-8.
std::optional<QString> read(SecretStore &store);
// Replaces the stored token; throws ServiceError(0) when the keychain refuses it.
void save(SecretStore &store, const QString &token);
// Deletes the item; whatever the keychain answers is ignored.
void clear(SecretStore &store);

} // namespace Vault

} // namespace quorvale
