#include "draftstore.h"

#include "files/durablefile.h"
#include "service/secretstore.h"
#include "service/serviceerror.h"
#include "json/json.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvale {

namespace {

using Key = std::array<unsigned char, 32>;

constexpr std::size_t nonceSize = 12;
constexpr std::size_t tagSize = 16;
const std::string keyService = "mx.qvl.quorvale.draft";

QString unlockMessage()
{
    return QStringLiteral("Desbloquea el llavero para guardar el borrador local.");
}

QString protectMessage()
{
    return QStringLiteral("No se pudo proteger el borrador en el llavero.");
}

FileError systemError(const QString &what, const QString &path, int error)
{
    return FileError(what.arg(path, qt_error_string(error)));
}

void wipe(void *data, std::size_t size)
{
    if (size > 0)
        OPENSSL_cleanse(data, size);
}

// Wipes a key however the scope is left.
class KeyGuard
{
public:
    explicit KeyGuard(Key &key)
        : m_key(key)
    {}
    KeyGuard(const KeyGuard &) = delete;
    KeyGuard &operator=(const KeyGuard &) = delete;
    ~KeyGuard() { wipe(m_key.data(), m_key.size()); }

private:
    Key &m_key;
};

Key keyOf(const SecretStore::Bytes &data)
{
    Key key{};
    if (data.size() == key.size())
        std::copy(data.begin(), data.end(), key.begin());
    return key;
}

void storeKey(SecretStore &secrets, const std::string &account, const Key &key)
{
    SecretStore::Bytes data(key.begin(), key.end());
    const bool stored =
        secrets.store(keyService, account, "Quorvale: clave del borrador (" + account + ")", data);
    wipe(data.data(), data.size());
    if (!stored)
        throw ServiceError(0, protectMessage());
}

// The draft file's location, checked but not created.
QString draftPath(const QString &accountId)
{
    // The id comes from the server; it must not reach outside the drafts directory.
    if (accountId.isEmpty() || accountId.contains(u'/') || accountId.contains(QChar(u'\0')))
        throw FileError(QStringLiteral(
            "El identificador de la cuenta no sirve como nombre del borrador local."));
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (appData.isEmpty())
        throw FileError(QStringLiteral("No se encontró la carpeta de datos de la aplicación."));
    return QFileInfo(appData).absolutePath() + QStringLiteral("/Quorvale/Drafts/") + accountId +
           QStringLiteral(".encrypted");
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext cipherContext(const Key &key, const unsigned char *nonce, bool encrypt)
{
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const bool ok =
        context &&
        EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr,
                          encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, int{nonceSize}, nullptr) == 1 &&
        EVP_CipherInit_ex(context.get(), nullptr, nullptr, key.data(), nonce, -1) == 1;
    if (!ok)
        throw ServiceError(0, QStringLiteral("No se pudo preparar el cifrado del borrador local."));
    return context;
}

// Encrypts or decrypts size bytes in place. EVP counts in int; lengths are never narrowed
// blindly.
bool cipherInPlace(EVP_CIPHER_CTX *context, unsigned char *data, std::size_t size)
{
    constexpr std::size_t step = std::size_t{1} << 30;
    for (std::size_t done = 0; done < size;) {
        const int length = static_cast<int>(std::min(step, size - done));
        int written = 0;
        if (EVP_CipherUpdate(context, data + done, &written, data + done, length) != 1 ||
            written != length)
            return false;
        done += static_cast<std::size_t>(length);
    }
    return true;
}

// buffer holds room for the nonce, then the plaintext, then room for the tag; on return it is
// the sealed draft in the combined layout.
void seal(std::string &buffer, const Key &key)
{
    auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
    const std::size_t plaintextSize = buffer.size() - nonceSize - tagSize;
    if (RAND_bytes(bytes, int{nonceSize}) != 1)
        throw ServiceError(0, QStringLiteral("No se pudo cifrar el borrador local."));
    const CipherContext context = cipherContext(key, bytes, true);
    unsigned char *text = bytes + nonceSize;
    int finalSize = 0;
    if (!cipherInPlace(context.get(), text, plaintextSize) ||
        EVP_EncryptFinal_ex(context.get(), text + plaintextSize, &finalSize) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, int{tagSize},
                            text + plaintextSize) != 1) {
        wipe(text, plaintextSize);
        throw ServiceError(0, QStringLiteral("No se pudo cifrar el borrador local."));
    }
}

// Opens the sealed draft (at least a nonce and a tag long) in place; on return the plaintext
// lies between nonce and tag.
void open(std::string &sealed, const Key &key)
{
    auto *bytes = reinterpret_cast<unsigned char *>(sealed.data());
    const std::size_t plaintextSize = sealed.size() - nonceSize - tagSize;
    const CipherContext context = cipherContext(key, bytes, false);
    unsigned char *text = bytes + nonceSize;
    int finalSize = 0;
    if (!cipherInPlace(context.get(), text, plaintextSize) ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, int{tagSize},
                            text + plaintextSize) != 1 ||
        EVP_DecryptFinal_ex(context.get(), text + plaintextSize, &finalSize) != 1) {
        // Unauthenticated bytes are nobody's document.
        wipe(text, plaintextSize);
        throw DraftDamaged(
            QStringLiteral("El borrador local está dañado o se protegió con otra clave."));
    }
}

// The whole file, or nothing when there is none.
std::optional<std::string> readFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    // Non-blocking, so that a FIFO in the draft's place cannot hang the caller.
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw systemError(QStringLiteral("No se pudo leer %1: %2"), path, errno);
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw FileError(QStringLiteral("No se pudo leer %1: no es un archivo.").arg(path));
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            throw systemError(QStringLiteral("No se pudo leer %1: %2"), path, error);
        }
        content.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return content;
}

// Puts the file's data (and, for a directory, its entries) on the disk itself.
} // namespace

DraftStore::DraftStore(SecretStore &secrets)
    : m_secrets(secrets)
{}

DraftStore::~DraftStore()
{
    forget();
}

void DraftStore::forget()
{
    wipe(m_key.data(), m_key.size());
    m_keptAccount.clear();
    m_encoding.clear();
}

DraftStore::Key DraftStore::fetchKey(const QString &accountId)
{
    const std::string account = accountId.toStdString();
    const Key *kept = !m_keptAccount.isEmpty() && m_keptAccount == accountId ? &m_key : nullptr;
    SecretStore::Lookup found = m_secrets.find(keyService, account);
    const std::size_t size = found.data.size();
    Key key = keyOf(found.data);
    wipe(found.data.data(), size);
    switch (found.outcome) {
    case SecretStore::Outcome::Found:
        if (size == 0) {
            if (kept)
                return *kept;
            throw ServiceError(0, unlockMessage());
        }
        // Replacing it would lose whatever draft it protects; the user decides in the keychain.
        if (size != key.size())
            throw ServiceError(0, QStringLiteral("La clave del borrador guardada en el llavero no "
                                                 "es válida. Bórrala del llavero para volver a "
                                                 "guardar borradores."));
        break;
    case SecretStore::Outcome::NotFound:
        // A key still in memory protects the draft on disk: it goes back into the keychain
        // before anything else is sealed with it.
        if (kept)
            key = *kept;
        else if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1)
            throw ServiceError(0, protectMessage());
        try {
            storeKey(m_secrets, account, key);
        } catch (...) {
            wipe(key.data(), key.size());
            throw;
        }
        break;
    case SecretStore::Outcome::Unavailable:
        if (kept)
            return *kept;
        throw ServiceError(0, unlockMessage());
    }
    m_key = key;
    m_keptAccount = accountId;
    return key;
}

QString DraftStore::file(const QString &accountId)
{
    const QString path = draftPath(accountId);
    durable::makePrivateDirectories(QFileInfo(path).absolutePath());
    return path;
}

QByteArray DraftStore::key(const QString &accountId)
{
    Key key = fetchKey(accountId);
    const KeyGuard guard(key);
    return QByteArray(reinterpret_cast<const char *>(key.data()),
                      static_cast<qsizetype>(key.size()));
}

void DraftStore::save(const JSON &payload, const QString &accountId)
{
    if (accountId.isEmpty())
        return;
    const QString path = file(accountId);

    // One buffer from encoding to the write: the text is sealed where it was encoded.
    std::string buffer(nonceSize, '\0');
    payload.encodeInto(buffer, &m_encoding);
    buffer.append(tagSize, '\0');

    Key key = fetchKey(accountId);
    const KeyGuard guard(key);
    seal(buffer, key);
    durable::writeFileAtomically(
        path, QByteArray::fromRawData(buffer.data(), static_cast<qsizetype>(buffer.size())));
}

std::optional<JSON> DraftStore::load(const QString &accountId)
{
    if (accountId.isEmpty())
        return std::nullopt;
    std::optional<std::string> sealed = readFile(draftPath(accountId));
    if (!sealed)
        return std::nullopt;
    // Too short to hold a nonce and a tag: no draft, and no reason to touch the keychain.
    if (sealed->size() < nonceSize + tagSize)
        throw DraftDamaged(QStringLiteral("El borrador local está incompleto."));

    Key key = fetchKey(accountId);
    const KeyGuard guard(key);
    open(*sealed, key);
    const std::string_view plaintext(sealed->data() + nonceSize,
                                     sealed->size() - nonceSize - tagSize);
    try {
        return JSON::decode(plaintext);
    } catch (const JSON::DecodeError &) {
        throw DraftDamaged(QStringLiteral("El borrador local no contiene un documento válido."));
    }
}

QString DraftStore::setAside(const QString &accountId, const QDateTime &now)
{
    const QString path = draftPath(accountId);
    const QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = path;
    target.insert(target.size() - int{sizeof ".encrypted" - 1}, u'.' + stamp);
    // Never over another draft set aside in the same second.
    for (int n = 2; QFile::exists(target); ++n)
        target = path.chopped(int{sizeof ".encrypted" - 1}) + u'.' + stamp + u'-' +
                 QString::number(n) + QStringLiteral(".encrypted");
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) != 0)
        throw systemError(QStringLiteral("No se pudo apartar %1: %2"), path, errno);
    durable::syncDirectory(QFileInfo(path).absolutePath());
    return target;
}

void DraftStore::remove(const QString &accountId)
{
    try {
        ::unlink(QFile::encodeName(draftPath(accountId)).constData());
    } catch (const std::exception &) {
        // An id that names no draft file has nothing to delete.
    }
}

} // namespace quorvale
