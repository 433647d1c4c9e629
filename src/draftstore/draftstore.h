#pragma once

// The encrypted local draft: one file per account holding the unsaved document and its
// revision, sealed with AES-256-GCM under a key of that account kept in the keychain. Also the
// atomic, durable file write that drafts and plain backups share.

#include "json/json.h"

#include "service/serviceerror.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

namespace quorvale {

class JSON;
class SecretStore;

// Keeps the draft key of one account in memory after its first read, so that drafts are still
// sealed while the keyring is locked, and so that a key item deleted behind the application's
// back is written again instead of lost; forgotten on sign-out and on the private-memory wipe.
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

// A draft file that can never be opened: cut short, altered, sealed with another key, or not a
// document. Its bytes may still be someone's work, so callers set it aside rather than
// overwrite it.
class DraftDamaged final : public FileError
{
public:
    using FileError::FileError;
};

// The account's draft, or nothing when it has none. Throws DraftDamaged for a file that can
// never be opened, and other errors (a keychain or a disk that cannot answer now) when it may
// open later; the file is left as it is.
std::optional<JSON> load(SecretStore &secrets, const QString &accountId,
                         DraftKeyCache *cache = nullptr);

// Renames the account's draft to a dated name beside it ("<id>.<stamp>.encrypted") and answers
// the new path; the stamp is the UTC time in compact ISO 8601. Throws FileError.
QString setAside(const QString &accountId, const QDateTime &now);

// Deletes the account's draft file; never reports a failure. The key stays in the keychain.
void remove(const QString &accountId);

} // namespace DraftStore

} // namespace quorvale
