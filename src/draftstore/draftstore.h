#pragma once

// The encrypted local draft: one file per account holding the unsaved document and its
// revision, sealed with AES-256-GCM under a key of that account kept in the keychain. Also the
// atomic, durable file write that drafts and plain backups share.

#include "json/json.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace quorvale {

class JSON;
class SecretStore;

// Keeps the draft key of one account in memory after its first read, so that a keystroke does
// not wait on the keyring; the model forgets it on sign-out and on the private-memory wipe.
class DraftKeyCache final
{
public:
    using Key = std::array<unsigned char, 32>;

    DraftKeyCache() = default;
    DraftKeyCache(const DraftKeyCache &) = delete;
    DraftKeyCache &operator=(const DraftKeyCache &) = delete;
    ~DraftKeyCache();

    // Overwrites the kept key and drops it.
    void forget();

    // The kept key, when it is the one of accountId.
    const Key *find(const QString &accountId) const;
    // Keeps key for accountId in place of whatever was kept.
    void keep(const QString &accountId, const Key &key);

private:
    QString m_accountId;
    Key m_key{};
    bool m_holdsKey = false;
};

namespace DraftStore {

// "<data home>/Quorvale/Drafts/<id>.encrypted"; creates the missing directories with 0700. An id
// that cannot be a file name of that directory (empty, or holding "/" or NUL) throws FileError.
QString file(const QString &accountId);

// The account's 32-byte key from the keychain, created and stored there on first use. Throws
// ServiceError(0) when the keychain cannot answer, refuses the new key, or holds a key that is
// not 32 bytes (which is never replaced: it may protect a draft).
QByteArray key(SecretStore &secrets, const QString &accountId, DraftKeyCache *cache = nullptr);

// Seals payload under the account's key and writes it atomically over the previous draft. An
// empty account id saves nothing. On any failure the previous draft stays whole. With an
// encode cache, the parts of the payload unchanged since the last save are not encoded again.
void save(SecretStore &secrets, const JSON &payload, const QString &accountId,
          DraftKeyCache *cache = nullptr, JSON::EncodeCache *encodeCache = nullptr);

// The account's draft, or nothing when it has none. A damaged file, a wrong key or a keychain
// that cannot answer throws; the file is left as it is.
std::optional<JSON> load(SecretStore &secrets, const QString &accountId,
                         DraftKeyCache *cache = nullptr);

// Deletes the account's draft file; never reports a failure. The key stays in the keychain.
void remove(const QString &accountId);

} // namespace DraftStore

} // namespace quorvale
