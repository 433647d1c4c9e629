#include "draftstore/draftstore.h"
#include "files/durablefile.h"
#include "service/serviceerror.h"
#include "support/memorysecretstore.h"
#include "json/json.h"

#include "support/xdghome.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTest>
#include <QUuid>

#include <openssl/evp.h>

#include <csignal>
#include <memory>
#include <optional>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using quorvale::DraftStore;
using quorvale::FileError;
using quorvale::JSON;
using quorvale::MemorySecretStore;
using quorvale::SecretStore;
using quorvale::ServiceError;

namespace {

const std::string draftService = "mx.qvl.quorvale.draft";
const QString unlockMessage = "Desbloquea el llavero para guardar el borrador local.";
const QString protectMessage = "No se pudo proteger el borrador en el llavero.";

JSON payload(double revision, std::string_view text)
{
    JSON block = JSON::object(
        {{"id", "5b0e7f1e-3c4d-4e5f-8a9b-0c1d2e3f4a5b"}, {"type", "text"}, {"text", text}});
    JSON page = JSON::object({{"id", "0f8fad5b-d9cb-469f-a165-70867728950e"},
                              {"title", "Reunión de diseño — año 2024"},
                              {"blocks", JSON::array({block})}});
    return JSON::object({{"revision", revision},
                         {"workspace", JSON::object({{"schemaVersion", 1},
                                                     {"name", "Mi espacio"},
                                                     {"pages", JSON::array({page})},
                                                     {"theme", "light"}})}});
}

JSON sample()
{
    return payload(7, "Café con ñandú, ¿qué tal? ü 😀 👩‍💻");
}

bool same(const std::optional<JSON> &loaded, const JSON &expected)
{
    return loaded && *loaded == expected;
}

QByteArray shown(const std::optional<JSON> &value)
{
    return value ? QByteArray::fromStdString(value->encode()) : QByteArray("no draft");
}

// What an operation threw, in a form that QCOMPARE can print.
template <typename Operation>
QString failure(Operation &&operation)
{
    try {
        operation();
        return QStringLiteral("no failure");
    } catch (const ServiceError &error) {
        return QStringLiteral("ServiceError(%1): %2").arg(error.status()).arg(error.message());
    } catch (const FileError &error) {
        return QStringLiteral("FileError: ") + QString::fromUtf8(error.what());
    } catch (const std::exception &error) {
        return QStringLiteral("other error: ") + QString::fromUtf8(error.what());
    }
}

QString keychainFailure(const QString &message)
{
    return QStringLiteral("ServiceError(0): ") + message;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "(unreadable)";
    return file.readAll();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

int mode(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return static_cast<int>(status.st_mode & 07777);
}

// Every entry, hidden ones included: a temporary file left behind must show.
QStringList entries(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList filesBelow(const QString &directory)
{
    QStringList files;
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

// Rows for the suites that run on both keychains.
void addKeychainRows()
{
    QTest::addColumn<QString>("keychain");
    QTest::newRow("memory") << QStringLiteral("memory");
    QTest::newRow("keyring") << QStringLiteral("keyring");
}

using Cipher = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// AES-256-GCM done here with OpenSSL directly: the layout (nonce, text, tag; no associated
// data) is what other builds of the client read and write, whatever the store does inside.
QByteArray openIndependently(const QByteArray &sealed, const QByteArray &key)
{
    if (sealed.size() < 28 || key.size() != 32)
        return "(not a sealed draft)";
    const auto *in = reinterpret_cast<const unsigned char *>(sealed.constData());
    const int textSize = static_cast<int>(sealed.size() - 28);
    QByteArray text(textSize, '\0');
    auto *out = reinterpret_cast<unsigned char *>(text.data());
    unsigned char tag[16];
    std::copy(in + 12 + textSize, in + sealed.size(), tag);
    Cipher cipher(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int written = 0;
    const bool opened =
        EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()), in) == 1 &&
        EVP_DecryptUpdate(cipher.get(), out, &written, in + 12, textSize) == 1 &&
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
        EVP_DecryptFinal_ex(cipher.get(), out + written, &written) == 1;
    return opened ? text : QByteArray("(does not open)");
}

QByteArray sealIndependently(const QByteArray &text, const QByteArray &key)
{
    QByteArray sealed(12 + text.size() + 16, '\0');
    auto *out = reinterpret_cast<unsigned char *>(sealed.data());
    std::fill(out, out + 12, 0x5a);
    Cipher cipher(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int written = 0;
    const bool ok =
        EVP_EncryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()), out) == 1 &&
        EVP_EncryptUpdate(cipher.get(), out + 12, &written,
                          reinterpret_cast<const unsigned char *>(text.constData()),
                          static_cast<int>(text.size())) == 1 &&
        EVP_EncryptFinal_ex(cipher.get(), out + 12 + written, &written) == 1 &&
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, 16, out + 12 + text.size()) == 1;
    return ok ? sealed : QByteArray();
}

// Caps the size of files this process writes, for the length of a scope: a write past the cap
// fails with EFBIG the way a full disk fails with ENOSPC.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    bool active() const { return m_active; }

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
    bool m_active = false;
};

} // namespace

class DraftStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Drafts on the private keyring of scripts/with-keyring and on an in-memory keychain.
    void draftsAreSealedPrivateAndFreshEachWrite_data();
    void draftsAreSealedPrivateAndFreshEachWrite();
    void accountsKeepSeparateDraftsAndKeys_data();
    void accountsKeepSeparateDraftsAndKeys();
    void deletedKeyLosesTheDraftUntilTheNextSave_data();
    void deletedKeyLosesTheDraftUntilTheNextSave();

    // Files that are not a draft of this account fail to load and stay as they are.
    void damagedDraftsFailToLoad_data();
    void damagedDraftsFailToLoad();

    // Keychains that give no key.
    void lockedKeychainKeepsTheOldDraft();
    void refusedKeyIsReported();
    void keyOfTheWrongSizeIsNeverReplaced_data();
    void keyOfTheWrongSizeIsNeverReplaced();
    void keyCacheSparesTheKeychain();

    // Writes that fail leave the previous file whole and no temporary file.
    void writeOverADirectoryFails();
    void failedWriteKeepsTheOldDraft_data();
    void failedWriteKeepsTheOldDraft();
    void backupReplacesAFileWithAPrivateOne();

    // Accounts and places.
    void signedOutSavesNothingAndRemoveNeverFails();
    void accountIdsStayInsideTheDraftsDirectory_data();
    void accountIdsStayInsideTheDraftsDirectory();
    void directoriesArePrivate();

private:
    SecretStore *secretsFor(const QString &name);
    QString account(const char *name);
    QString drafts() const { return m_home->data() + "/Quorvale/Drafts"; }

    std::unique_ptr<SecretStore> m_system;
    QByteArray m_skipReason;
    std::unique_ptr<MemorySecretStore> m_memory;
    std::unique_ptr<quorvale::test::XdgHome> m_home;
    QString m_run = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSet<QString> m_accounts;
};

void DraftStoreTest::initTestCase()
{
    // Keys are written to the keyring, so the real one is used only when it is the private
    // keyring of scripts/with-keyring; the in-memory rows run everywhere.
    const bool privateKeyring = qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        m_skipReason = "no D-Bus session bus; run through scripts/with-keyring";
    else if (!privateKeyring)
        m_skipReason = "not the private keyring of scripts/with-keyring";
    QVERIFY2(!privateKeyring || m_skipReason.isEmpty(), m_skipReason.constData());
    if (!m_skipReason.isEmpty())
        return;
    m_system = SecretStore::system();
    QVERIFY2(m_system->remove(draftService, account("probe").toStdString()),
             "the private keyring does not answer");
}

void DraftStoreTest::init()
{
    // Each test gets folders of its own. (Qt's test mode would share ~/.qttest instead.)
    m_home = std::make_unique<quorvale::test::XdgHome>();
    QVERIFY(m_home->isValid());
    m_memory = std::make_unique<MemorySecretStore>();
}

void DraftStoreTest::cleanup()
{
    if (m_system) {
        for (const QString &id : std::as_const(m_accounts))
            m_system->remove(draftService, id.toStdString());
    }
    m_accounts.clear();
    if (m_home) {
        // A test that failed half-way may have left a directory without write permission.
        QDirIterator it(m_home->path(), QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ::chmod(QFile::encodeName(it.next()).constData(), 0700);
    }
    m_home.reset();
}

// The keychain a data row names: the real one (null without it), or the in-memory one.
SecretStore *DraftStoreTest::secretsFor(const QString &name)
{
    return name == "keyring" ? m_system.get() : m_memory.get();
}

// An account id unique to this run, so that nothing clashes with another run on the keyring.
QString DraftStoreTest::account(const char *name)
{
    const QString id = QStringLiteral("tst-draftstore-%1-%2").arg(m_run, QLatin1String(name));
    m_accounts.insert(id);
    return id;
}

void DraftStoreTest::draftsAreSealedPrivateAndFreshEachWrite_data()
{
    addKeychainRows();
}

void DraftStoreTest::draftsAreSealedPrivateAndFreshEachWrite()
{
    QFETCH(QString, keychain);
    SecretStore *store = secretsFor(keychain);
    if (!store)
        QSKIP(m_skipReason.constData());
    SecretStore &secrets = *store;
    const QString id = account("a");
    const JSON draft = sample();
    QCOMPARE(shown(DraftStore(secrets).load(id)), QByteArray("no draft"));

    DraftStore(secrets).save(draft, id);
    const QString path = DraftStore::file(id);
    QCOMPARE(path, drafts() + "/" + id + ".encrypted");
    const QByteArray first = readAll(path);
    const QByteArray plaintext = QByteArray::fromStdString(draft.encode());
    QCOMPARE(first.size(), 12 + plaintext.size() + 16);
    QCOMPARE(mode(path), 0600);
    QCOMPARE(openIndependently(first, DraftStore(secrets).key(id)), plaintext);

    const std::optional<JSON> loaded = DraftStore(secrets).load(id);
    QVERIFY2(same(loaded, draft), shown(loaded).constData());

    // The same payload again: a fresh nonce makes other bytes, and the file is private again
    // even if someone opened it up meanwhile.
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    DraftStore(secrets).save(draft, id);
    const QByteArray second = readAll(path);
    QVERIFY(second.left(12) != first.left(12));
    QVERIFY(second.mid(12) != first.mid(12));
    QCOMPARE(mode(path), 0600);
    QVERIFY(same(DraftStore(secrets).load(id), draft));
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});

    // A draft sealed by another build with the same key reads back.
    const QByteArray foreign =
        sealIndependently(R"({"revision":3,"workspace":null})", DraftStore(secrets).key(id));
    QVERIFY(writeAll(path, foreign));
    QCOMPARE(shown(DraftStore(secrets).load(id)), QByteArray(R"({"revision":3,"workspace":null})"));
}

void DraftStoreTest::accountsKeepSeparateDraftsAndKeys_data()
{
    addKeychainRows();
}

void DraftStoreTest::accountsKeepSeparateDraftsAndKeys()
{
    QFETCH(QString, keychain);
    SecretStore *store = secretsFor(keychain);
    if (!store)
        QSKIP(m_skipReason.constData());
    SecretStore &secrets = *store;
    const QString a = account("a");
    const QString b = account("b");
    DraftStore(secrets).save(payload(1, "de a"), a);
    DraftStore(secrets).save(payload(2, "de b"), b);

    const QByteArray keyA = DraftStore(secrets).key(a);
    const QByteArray keyB = DraftStore(secrets).key(b);
    QVERIFY(keyA.size() == 32 && keyA != keyB);
    QCOMPARE(DraftStore(secrets).key(a), keyA); // read back, not made anew
    QVERIFY(same(DraftStore(secrets).load(a), payload(1, "de a")));
    QVERIFY(same(DraftStore(secrets).load(b), payload(2, "de b")));

    // One account's draft put in the other's place is never read for it.
    const QByteArray draftOfB = readAll(DraftStore::file(b));
    QVERIFY(writeAll(DraftStore::file(b), readAll(DraftStore::file(a))));
    QVERIFY(failure([&] { DraftStore(secrets).load(b); }).startsWith("FileError: "));
    QCOMPARE(DraftStore(secrets).key(b), keyB);
    QVERIFY(writeAll(DraftStore::file(b), draftOfB));
    QVERIFY(same(DraftStore(secrets).load(b), payload(2, "de b")));
}

void DraftStoreTest::deletedKeyLosesTheDraftUntilTheNextSave_data()
{
    addKeychainRows();
}

void DraftStoreTest::deletedKeyLosesTheDraftUntilTheNextSave()
{
    QFETCH(QString, keychain);
    SecretStore *store = secretsFor(keychain);
    if (!store)
        QSKIP(m_skipReason.constData());
    SecretStore &secrets = *store;
    const QString id = account("a");
    DraftStore(secrets).save(payload(1, "antes"), id);
    const QByteArray oldKey = DraftStore(secrets).key(id);
    const QByteArray sealed = readAll(DraftStore::file(id));

    QVERIFY(secrets.remove(draftService, id.toStdString()));
    QVERIFY(failure([&] { DraftStore(secrets).load(id); }).startsWith("FileError: "));
    QCOMPARE(readAll(DraftStore::file(id)), sealed);
    // The failed load made the account a new key.
    QCOMPARE(secrets.find(draftService, id.toStdString()).data.size(), std::size_t{32});
    const QByteArray newKey = DraftStore(secrets).key(id);
    QVERIFY(newKey != oldKey);

    DraftStore(secrets).save(payload(2, "después"), id);
    QVERIFY(same(DraftStore(secrets).load(id), payload(2, "después")));
    QCOMPARE(DraftStore(secrets).key(id), newKey);
}

void DraftStoreTest::damagedDraftsFailToLoad_data()
{
    QTest::addColumn<QString>("damage");
    for (const char *damage :
         {"empty", "first 20 bytes", "first 27 bytes", "nonce and tag only", "last byte missing",
          "byte added", "nonce byte flipped", "text byte flipped", "tag byte flipped",
          "sealed text that is not JSON"})
        QTest::newRow(damage) << QString::fromLatin1(damage);
}

void DraftStoreTest::damagedDraftsFailToLoad()
{
    QFETCH(QString, damage);
    const QString id = account("a");
    DraftStore(*m_memory).save(sample(), id);
    const QByteArray key = DraftStore(*m_memory).key(id);
    QByteArray bytes = readAll(DraftStore::file(id));
    const qsizetype textSize = bytes.size() - 28;

    if (damage == "empty")
        bytes.clear();
    else if (damage == "first 20 bytes")
        bytes.truncate(20);
    else if (damage == "first 27 bytes")
        bytes.truncate(27);
    else if (damage == "nonce and tag only")
        bytes = bytes.left(12) + bytes.right(16);
    else if (damage == "last byte missing")
        bytes.chop(1);
    else if (damage == "byte added")
        bytes.append('\0');
    else if (damage == "nonce byte flipped")
        bytes[5] = static_cast<char>(bytes[5] ^ 0x01);
    else if (damage == "text byte flipped")
        bytes[12 + textSize / 2] = static_cast<char>(bytes[12 + textSize / 2] ^ 0x80);
    else if (damage == "tag byte flipped")
        bytes[bytes.size() - 1] = static_cast<char>(bytes[bytes.size() - 1] ^ 0x01);
    else if (damage == "sealed text that is not JSON")
        bytes = sealIndependently("{\"revision\":", key);
    QVERIFY(writeAll(DraftStore::file(id), bytes));

    const QString failed = failure([&] { DraftStore(*m_memory).load(id); });
    QVERIFY2(failed.startsWith("FileError: "), qPrintable(failed));
    // The file stays for the next save to replace; the key is kept.
    QCOMPARE(readAll(DraftStore::file(id)), bytes);
    QCOMPARE(DraftStore(*m_memory).key(id), key);
    DraftStore(*m_memory).save(payload(8, "otra vez"), id);
    QVERIFY(same(DraftStore(*m_memory).load(id), payload(8, "otra vez")));
}

void DraftStoreTest::lockedKeychainKeepsTheOldDraft()
{
    const QString id = account("a");
    DraftStore(*m_memory).save(payload(1, "guardado"), id);
    const QByteArray before = readAll(DraftStore::file(id));

    m_memory->setLocked(true);
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(payload(2, "nuevo"), id); }),
             keychainFailure(unlockMessage));
    QCOMPARE(failure([&] { DraftStore(*m_memory).load(id); }), keychainFailure(unlockMessage));
    QCOMPARE(readAll(DraftStore::file(id)), before);
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
    // A locked keychain may hide a key: no new one is made for an account without a draft.
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), account("b")); }),
             keychainFailure(unlockMessage));

    m_memory->setLocked(false);
    QCOMPARE(m_memory->size(), std::size_t{1});
    QVERIFY(same(DraftStore(*m_memory).load(id), payload(1, "guardado")));
}

void DraftStoreTest::refusedKeyIsReported()
{
    const QString id = account("a");
    m_memory->setRefusingStores(true);
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), id); }),
             keychainFailure(protectMessage));
    QCOMPARE(entries(drafts()), QStringList());
    QCOMPARE(m_memory->size(), std::size_t{0});

    // A draft whose key is gone, with no new key to be had.
    QVERIFY(writeAll(DraftStore::file(id), QByteArray(64, 'x')));
    QCOMPARE(failure([&] { DraftStore(*m_memory).load(id); }), keychainFailure(protectMessage));
}

void DraftStoreTest::keyOfTheWrongSizeIsNeverReplaced_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("empty");
    QTest::newRow("no data") << 0 << true;
    QTest::newRow("16 bytes") << 16 << false;
    QTest::newRow("31 bytes") << 31 << false;
    QTest::newRow("33 bytes") << 33 << false;
}

void DraftStoreTest::keyOfTheWrongSizeIsNeverReplaced()
{
    QFETCH(int, size);
    QFETCH(bool, empty);
    const QString id = account("a");
    const SecretStore::Bytes stored(static_cast<std::size_t>(size), 0x42);
    QVERIFY(m_memory->store(draftService, id.toStdString(), "key", stored));
    const QByteArray draft(100, 'd');
    QVERIFY(writeAll(DraftStore::file(id), draft));

    const QString saved = failure([&] { DraftStore(*m_memory).save(sample(), id); });
    QVERIFY2(saved.startsWith("ServiceError(0): "), qPrintable(saved));
    QCOMPARE(saved == keychainFailure(unlockMessage), empty);
    QCOMPARE(failure([&] { DraftStore(*m_memory).load(id); }), saved);
    QCOMPARE(failure([&] { DraftStore(*m_memory).key(id); }), saved);

    QVERIFY(m_memory->find(draftService, id.toStdString()).data == stored);
    QCOMPARE(readAll(DraftStore::file(id)), draft);
}

void DraftStoreTest::keyCacheSparesTheKeychain()
{
    const QString a = account("a");
    const QString b = account("b");
    DraftStore cache(*m_memory);
    cache.save(payload(1, "uno"), a);
    const QByteArray keyA = DraftStore(*m_memory).key(a);

    // Once read, the key is served from memory while the keychain cannot answer.
    m_memory->setLocked(true);
    cache.save(payload(2, "dos"), a);
    QVERIFY(same(cache.load(a), payload(2, "dos")));
    QCOMPARE(cache.key(a), keyA);
    // Without the cache, or for another account, the keychain is asked.
    QCOMPARE(failure([&] { DraftStore(*m_memory).key(a); }), keychainFailure(unlockMessage));
    QCOMPARE(failure([&] { cache.key(b); }), keychainFailure(unlockMessage));

    cache.forget();
    QCOMPARE(failure([&] { cache.save(payload(3, "tres"), a); }), keychainFailure(unlockMessage));

    // Another account takes the place of the first.
    m_memory->setLocked(false);
    QCOMPARE(cache.key(a), keyA);
    const QByteArray keyB = cache.key(b);
    m_memory->setLocked(true);
    QCOMPARE(cache.key(b), keyB);
    QCOMPARE(failure([&] { cache.key(a); }), keychainFailure(unlockMessage));

    m_memory->setLocked(false);
    QVERIFY(same(DraftStore(*m_memory).load(a), payload(2, "dos")));

    // A key item deleted while its key is in memory is written back before anything else is
    // sealed with it: the draft stays readable by the next start.
    DraftStore kept(*m_memory);
    kept.save(payload(4, "cuatro"), a);
    QVERIFY(m_memory->remove(draftService, a.toStdString()));
    kept.save(payload(5, "cinco"), a);
    QCOMPARE(DraftStore(*m_memory).key(a), keyA);
    QVERIFY(same(DraftStore(*m_memory).load(a), payload(5, "cinco")));
}

void DraftStoreTest::writeOverADirectoryFails()
{
    // Nothing can replace a directory: the temporary file is made, written, synced, and then
    // must go.
    const QString target = m_home->config() + "/quorvale-respaldo.json";
    QVERIFY(QDir().mkpath(target + "/inside"));
    QVERIFY(writeAll(target + "/inside/kept", "kept"));
    const QString failed =
        failure([&] { quorvale::durable::writeFileAtomically(target, QByteArray(4096, 'x')); });
    QVERIFY2(failed.startsWith("FileError: "), qPrintable(failed));
    QVERIFY(failed.contains(target));
    QCOMPARE(entries(m_home->config()), QStringList{"quorvale-respaldo.json"});
    QCOMPARE(readAll(target + "/inside/kept"), QByteArray("kept"));

    // The same at a draft's own place.
    const QString id = account("a");
    QVERIFY(QDir().mkpath(DraftStore::file(id)));
    QVERIFY(failure([&] { DraftStore(*m_memory).save(sample(), id); }).startsWith("FileError: "));
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
    QVERIFY(QFileInfo(DraftStore::file(id)).isDir());
    QVERIFY(failure([&] { DraftStore(*m_memory).load(id); }).startsWith("FileError: "));

    // Nor does a load wait on a pipe put in a draft's place.
    const QString piped = account("b");
    QCOMPARE(::mkfifo(QFile::encodeName(DraftStore::file(piped)).constData(), 0600), 0);
    QVERIFY(failure([&] { DraftStore(*m_memory).load(piped); }).startsWith("FileError: "));
}

void DraftStoreTest::failedWriteKeepsTheOldDraft_data()
{
    QTest::addColumn<bool>("diskFull"); // else a directory without write permission
    QTest::newRow("read-only directory") << false;
    // The write stops part-way, as on a full disk; this also binds root.
    QTest::newRow("disk full") << true;
}

void DraftStoreTest::failedWriteKeepsTheOldDraft()
{
    QFETCH(bool, diskFull);
    if (!diskFull && ::geteuid() == 0)
        QSKIP("permissions do not bind root; the disk-full row covers a write that fails");
    const QString id = account("a");
    DraftStore(*m_memory).save(payload(1, "antes"), id);
    const QByteArray before = readAll(DraftStore::file(id));

    const QByteArray directory = QFile::encodeName(drafts());
    std::optional<FileSizeLimit> limit;
    if (diskFull)
        QVERIFY(limit.emplace(64 * 1024).active());
    else
        QCOMPARE(::chmod(directory.constData(), 0500), 0);
    // Far larger than the old draft, so that a write cut short cannot pass for it.
    const JSON large = payload(2, std::string(256 * 1024, 'z'));
    const QString failed = failure([&] { DraftStore(*m_memory).save(large, id); });
    limit.reset();
    ::chmod(directory.constData(), 0700);

    QVERIFY2(failed.startsWith("FileError: "), qPrintable(failed));
    QCOMPARE(readAll(DraftStore::file(id)), before);
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
    QVERIFY(same(DraftStore(*m_memory).load(id), payload(1, "antes")));
    DraftStore(*m_memory).save(large, id);
    QVERIFY(same(DraftStore(*m_memory).load(id), large));
}

void DraftStoreTest::backupReplacesAFileWithAPrivateOne()
{
    const QString directory = m_home->path() + "/Respaldos";
    QVERIFY(QDir().mkpath(directory));
    QCOMPARE(::chmod(QFile::encodeName(directory).constData(), 0755), 0);
    const QString path = directory + "/quorvale-respaldo.json";
    QVERIFY(writeAll(path, "old backup"));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);

    const QByteArray backup = QByteArray::fromStdString(sample().encode());
    quorvale::durable::writeFileAtomically(path, backup);
    QCOMPARE(readAll(path), backup);
    QCOMPARE(mode(path), 0600);
    QCOMPARE(mode(directory), 0755); // the user's directory is left as it was
    QCOMPARE(entries(directory), QStringList{"quorvale-respaldo.json"});

    quorvale::durable::writeFileAtomically(path, {});
    QCOMPARE(readAll(path), QByteArray());

    // A directory that does not exist is not made for a backup.
    const QString missing = m_home->path() + "/missing/quorvale-respaldo.json";
    QVERIFY(failure([&] {
                quorvale::durable::writeFileAtomically(missing, backup);
            }).startsWith("FileError: "));
    QVERIFY(!QFileInfo::exists(m_home->path() + "/missing"));
}

void DraftStoreTest::signedOutSavesNothingAndRemoveNeverFails()
{
    DraftStore(*m_memory).save(sample(), QString());
    QCOMPARE(m_memory->size(), std::size_t{0});
    QCOMPARE(filesBelow(m_home->path()), QStringList());
    QCOMPARE(shown(DraftStore(*m_memory).load(QString())), QByteArray("no draft"));

    const QString id = account("a");
    for (const QString &gone : {id, QString(), QStringLiteral("../escape")})
        DraftStore::remove(gone);
    DraftStore(*m_memory).save(sample(), id);
    DraftStore::remove(id);
    QCOMPARE(entries(drafts()), QStringList());
    QCOMPARE(m_memory->size(), std::size_t{1}); // the key stays
    QCOMPARE(shown(DraftStore(*m_memory).load(id)), QByteArray("no draft"));
}

void DraftStoreTest::accountIdsStayInsideTheDraftsDirectory_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("fileName");
    QTest::newRow("accents and emoji") << QStringLiteral("cuenta-ñ-😀") << true;
    QTest::newRow("dot") << QStringLiteral(".") << true;
    QTest::newRow("dot dot") << QStringLiteral("..") << true;
    QTest::newRow("parent path") << QStringLiteral("../../escape") << false;
    QTest::newRow("absolute path") << QStringLiteral("/tmp/escape") << false;
    QTest::newRow("subdirectory") << QStringLiteral("a/b") << false;
    QTest::newRow("NUL") << QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b") << false;
}

void DraftStoreTest::accountIdsStayInsideTheDraftsDirectory()
{
    QFETCH(QString, id);
    QFETCH(bool, fileName);
    if (fileName) {
        DraftStore(*m_memory).save(sample(), id);
        QCOMPARE(filesBelow(m_home->path()), QStringList{drafts() + "/" + id + ".encrypted"});
        QVERIFY(same(DraftStore(*m_memory).load(id), sample()));
        return;
    }
    for (const QString &failed : {failure([&] { DraftStore::file(id); }),
                                  failure([&] { DraftStore(*m_memory).save(sample(), id); }),
                                  failure([&] { DraftStore(*m_memory).load(id); })})
        QVERIFY2(failed.startsWith("FileError: "), qPrintable(failed));
    QCOMPARE(filesBelow(m_home->path()), QStringList());
    QVERIFY(!QFileInfo::exists("/tmp/escape.encrypted"));
}

void DraftStoreTest::directoriesArePrivate()
{
    // A data home that does not exist yet is made too, private like the rest.
    const QString home = m_home->data();
    QVERIFY(QDir(home).removeRecursively());
    const QString path = DraftStore::file(account("a"));
    QVERIFY(path.startsWith(drafts() + "/"));
    QVERIFY(!QFileInfo::exists(path));
    for (const QString &directory : {home, home + "/Quorvale", drafts()})
        QCOMPARE(mode(directory), 0700);

    // Directories that exist already are the user's and keep their permissions.
    QCOMPARE(::chmod(QFile::encodeName(home).constData(), 0755), 0);
    QVERIFY(QDir(drafts()).removeRecursively());
    DraftStore::file(account("a"));
    QCOMPARE(mode(home), 0755);
    QCOMPARE(mode(drafts()), 0700);

    // A umask that takes the owner's own bits away changes none of this.
    QVERIFY(QDir(home + "/Quorvale").removeRecursively());
    const QString id = account("b");
    const mode_t saved = ::umask(0277);
    const QString failed = failure([&] { DraftStore(*m_memory).save(sample(), id); });
    ::umask(saved);
    QCOMPARE(failed, QStringLiteral("no failure"));
    QCOMPARE(mode(home + "/Quorvale"), 0700);
    QCOMPARE(mode(drafts()), 0700);
    QCOMPARE(mode(DraftStore::file(id)), 0600);
}

QTEST_GUILESS_MAIN(DraftStoreTest)
#include "tst_draftstore.moc"
