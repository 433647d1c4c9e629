#pragma once

// The encrypted local draft: one file per account holding the unsaved document and its
// revision, sealed with AES-256-GCM under a key of that account kept in the keychain.

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

// A draft file that can never be opened: cut short, altered, sealed with another key, or not a
// document. Its bytes may still be someone's work, so callers set it aside rather than
// overwrite it.
class DraftDamaged final : public FileError
{
public:
    using FileError::FileError;
};

// The drafts of the accounts of one keychain. It keeps the last account's key in memory after
// its first read, so that drafts are still sealed while the keychain is locked and a key item
// deleted behind the application's back is written again instead of lost; and the encoded text
// of the last draft, so that what did not change is not encoded again. One thread at a time.
class DraftStore final
{
public:
    // secrets must outlive the store.
    explicit DraftStore(SecretStore &secrets);
    DraftStore(const DraftStore &) = delete;
    DraftStore &operator=(const DraftStore &) = delete;
    ~DraftStore();

    // "<data home>/Quorvale/Drafts/<id>.encrypted"; creates the missing directories with 0700.
    // An id that cannot be a file name of that directory (empty, or holding "/" or NUL) throws
    // FileError.
    static QString file(const QString &accountId);

    // The account's 32-byte key from the keychain, created and stored there on first use.
    // Throws ServiceError(0) when the keychain cannot answer (and no key is kept), refuses the
    // new key, or holds a key that is not 32 bytes (never replaced: it may protect a draft).
    QByteArray key(const QString &accountId);

    // Seals payload under the account's key and writes it atomically over the previous draft.
    // An empty account id saves nothing. On any failure the previous draft stays whole.
    void save(const JSON &payload, const QString &accountId);

    // The account's draft, or nothing when it has none. Throws DraftDamaged for a file that can
    // never be opened, and other errors (a keychain or a disk that cannot answer now) when it
    // may open later; the file is left as it is.
    std::optional<JSON> load(const QString &accountId);

    // Deletes the account's draft file; never reports a failure. The key stays in the keychain.
    static void remove(const QString &accountId);

    // Renames the account's draft to a dated name beside it ("<id>.<stamp>.encrypted") and
    // answers the new path; the stamp is the UTC time in compact ISO 8601. Throws FileError.
    static QString setAside(const QString &accountId, const QDateTime &now);

    // Overwrites the kept key and drops it with the encoded text (sign-out, wipe).
    void forget();

private:
    using Key = std::array<unsigned char, 32>;
    Key fetchKey(const QString &accountId);

    SecretStore &m_secrets;
    QString m_keptAccount; // whose key m_key is; empty: none kept
    Key m_key{};
    JSON::EncodeCache m_encoding;
};

} // namespace quorvale
