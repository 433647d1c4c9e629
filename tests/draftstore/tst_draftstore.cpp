#include "draftstore/draftstore.h"
#include "files/durablefile.h"
#include "service/serviceerror.h"
#include "support/files.h"
#include "support/keyring.h"
#include "support/memorysecretstore.h"
#include "support/xdghome.h"
#include "json/json.h"

#include <QDirIterator>
#include <QSet>
#include <QTest>
#include <QUuid>

#include <openssl/evp.h>

#include <csignal>
#include <memory>
#include <optional>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

using namespace quorvale;
using namespace quorvale::test;

namespace {

const std::string draftService = "mx.qvl.quorvale.draft";
const QString locked = "ServiceError(0): Desbloquea el llavero para guardar el borrador local.";
const QString refused = "ServiceError(0): No se pudo proteger el borrador en el llavero.";

JSON payload(double revision, std::string_view text)
{
    JSON page = JSON::object({{"id", "0f8fad5b-d9cb-469f-a165-70867728950e"},
                              {"title", "Reunión — año 2024"},
                              {"blocks", JSON::array({JSON::object({{"text", text}})})}});
    return JSON::object(
        {{"revision", revision},
         {"workspace", JSON::object({{"name", "Mi espacio"}, {"pages", JSON::array({page})}})}});
}

JSON sample()
{
    return payload(7, "Café con ñandú, ¿qué tal? ü 😀 👩‍💻");
}

QByteArray text(const JSON &value)
{
    return QByteArray::fromStdString(value.encode());
}

// What an operation threw, in a form that QCOMPARE can print.
template <typename Operation>
QString failure(Operation &&operation)
{
    try {
        operation();
        return "no failure";
    } catch (const ServiceError &error) {
        return QStringLiteral("ServiceError(%1): %2").arg(error.status()).arg(error.message());
    } catch (const FileError &error) {
        return "FileError: " + QString::fromUtf8(error.what());
    }
}

// The draft of id as text, "no draft" without one, or what its load threw.
QByteArray loaded(SecretStore &secrets, const QString &id)
{
    std::optional<JSON> draft;
    const QString failed = failure([&] { draft = DraftStore(secrets).load(id); });
    if (failed != "no failure")
        return failed.toUtf8();
    return draft ? text(*draft) : "no draft";
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

void addKeychainRows()
{
    QTest::addColumn<QString>("keychain");
    QTest::newRow("memory") << "memory";
    QTest::newRow("keyring") << "keyring";
}

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// AES-256-GCM done here with OpenSSL directly: the layout (nonce, text, tag; no associated
// data) is what other builds of the client read and write, whatever the store does inside.
// Seals with a fixed nonce, or opens what is sealed.
QByteArray gcm(bool seal, const QByteArray &input, const QByteArray &key)
{
    if (key.size() != 32 || (!seal && input.size() < 28))
        return "(not a sealed draft)";
    const QByteArray nonce = seal ? QByteArray(12, 'Z') : input.left(12);
    const QByteArray in = seal ? input : input.mid(12, input.size() - 28);
    QByteArray tag = seal ? QByteArray(16, '\0') : input.right(16);
    QByteArray out(in.size() + 16, '\0');
    auto *written = reinterpret_cast<unsigned char *>(out.data());
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int size = 0;
    int last = 0;
    const bool ok =
        EVP_CipherInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, bytesOf(key), bytesOf(nonce),
                          seal ? 1 : 0) == 1 &&
        EVP_CipherUpdate(cipher.get(), written, &size, bytesOf(in), int(in.size())) == 1 &&
        (seal || EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1) &&
        EVP_CipherFinal_ex(cipher.get(), written + size, &last) == 1 &&
        (!seal || EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, 16, tag.data()) == 1);
    out.truncate(size + last);
    if (!ok)
        return "(does not open)";
    return seal ? nonce + out + tag : out;
}

} // namespace

class DraftStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Drafts on the private keyring of scripts/with-keyring and on an in-memory keychain.
    void draftsAreSealedPrivateAndFreshEachWrite_data() { addKeychainRows(); }
    void draftsAreSealedPrivateAndFreshEachWrite();
    void accountsKeepSeparateDraftsAndKeys_data() { addKeychainRows(); }
    void accountsKeepSeparateDraftsAndKeys();

    // Files that are not a draft of this account fail to load and stay as they are.
    void damagedDraftsFailToLoad_data();
    void damagedDraftsFailToLoad();

    // Keychains that give no key.
    void lockedOrRefusingKeychainKeepsTheOldDraft();
    void keyOfTheWrongSizeIsNeverReplaced_data();
    void keyOfTheWrongSizeIsNeverReplaced();
    void keyCacheSparesTheKeychain();

    // Writes that fail leave the previous file whole and no temporary file.
    void failedWritesKeepTheOldDraft();
    void backupReplacesAFileWithAPrivateOne();

    // Accounts and places.
    void signedOutSavesNothingAndRemoveNeverFails();
    void accountIdsStayInsideTheDraftsDirectory_data();
    void accountIdsStayInsideTheDraftsDirectory();
    void directoriesArePrivate();

private:
    SecretStore *keychainOfRow();
    QString account(const char *name);
    QString drafts() const { return m_home->data() + "/Quorvale/Drafts"; }

    std::unique_ptr<SecretStore> m_system;
    QByteArray m_skipReason;
    std::unique_ptr<MemorySecretStore> m_memory;
    std::unique_ptr<XdgHome> m_home;
    QString m_run = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSet<QString> m_accounts;
};

void DraftStoreTest::initTestCase()
{
    std::signal(SIGXFSZ, SIG_IGN); // a write past a size cap fails instead of ending the process
    m_system = privateKeyring(m_skipReason);
    QVERIFY2(!m_system || m_system->remove(draftService, account("probe").toStdString()),
             "the private keyring does not answer");
}

void DraftStoreTest::init()
{
    // Each test gets folders of its own. (Qt's test mode would share ~/.qttest instead.)
    m_home = std::make_unique<XdgHome>();
    QVERIFY(m_home->isValid());
    m_memory = std::make_unique<MemorySecretStore>();
}

void DraftStoreTest::cleanup()
{
    for (const QString &id : std::as_const(m_accounts)) {
        if (m_system)
            m_system->remove(draftService, id.toStdString());
    }
    m_accounts.clear();
    m_home.reset();
}

// The keychain the data row names: the real one (null without it), or the in-memory one.
SecretStore *DraftStoreTest::keychainOfRow()
{
    QFETCH(QString, keychain);
    return keychain == "keyring" ? m_system.get() : m_memory.get();
}

// An account id unique to this run, so that nothing clashes with another run on the keyring.
QString DraftStoreTest::account(const char *name)
{
    const QString id = QStringLiteral("tst-draftstore-%1-%2").arg(m_run, QLatin1String(name));
    m_accounts.insert(id);
    return id;
}

void DraftStoreTest::draftsAreSealedPrivateAndFreshEachWrite()
{
    SecretStore *secrets = keychainOfRow();
    if (!secrets)
        QSKIP(m_skipReason.constData());
    const QString id = account("a");
    DraftStore(*secrets).save(sample(), id);
    const QString path = DraftStore::file(id);
    QCOMPARE(path, drafts() + "/" + id + ".encrypted");
    const QByteArray first = readAll(path);
    QCOMPARE(gcm(false, first, DraftStore(*secrets).key(id)), text(sample()));

    // The same payload again: a fresh nonce makes other bytes, and the file is private again
    // even if someone opened it up meanwhile.
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    DraftStore(*secrets).save(sample(), id);
    const QByteArray second = readAll(path);
    QVERIFY(second.left(12) != first.left(12) && second.mid(12) != first.mid(12));
    QCOMPARE(mode(path), 0600);
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});

    // A draft sealed by another build with the same key reads back.
    const QByteArray foreign = R"({"revision":3,"workspace":null})";
    QVERIFY(writeAll(path, gcm(true, foreign, DraftStore(*secrets).key(id))));
    QCOMPARE(loaded(*secrets, id), foreign);
}

void DraftStoreTest::accountsKeepSeparateDraftsAndKeys()
{
    SecretStore *secrets = keychainOfRow();
    if (!secrets)
        QSKIP(m_skipReason.constData());
    const QString a = account("a");
    const QString b = account("b");
    DraftStore(*secrets).save(payload(1, "de a"), a);
    DraftStore(*secrets).save(payload(2, "de b"), b);
    const QByteArray keyA = DraftStore(*secrets).key(a);
    const QByteArray keyB = DraftStore(*secrets).key(b);
    QVERIFY(keyA.size() == 32 && keyA != keyB);
    QCOMPARE(DraftStore(*secrets).key(a), keyA); // read back, not made anew
    QCOMPARE(loaded(*secrets, a), text(payload(1, "de a")));
    QCOMPARE(loaded(*secrets, b), text(payload(2, "de b")));

    // One account's draft put in the other's place is never read for it.
    const QByteArray draftOfB = readAll(DraftStore::file(b));
    QVERIFY(writeAll(DraftStore::file(b), readAll(DraftStore::file(a))));
    QVERIFY(loaded(*secrets, b).startsWith("FileError: "));
    QCOMPARE(DraftStore(*secrets).key(b), keyB);
    QVERIFY(writeAll(DraftStore::file(b), draftOfB));
    QCOMPARE(loaded(*secrets, b), text(payload(2, "de b")));

    // A deleted key loses the draft until the next save: the failed load leaves the file and
    // makes the account a new key.
    QVERIFY(secrets->remove(draftService, b.toStdString()));
    QVERIFY(loaded(*secrets, b).startsWith("FileError: "));
    QCOMPARE(readAll(DraftStore::file(b)), draftOfB);
    QCOMPARE(secrets->find(draftService, b.toStdString()).data.size(), std::size_t{32});
    QVERIFY(DraftStore(*secrets).key(b) != keyB);
    DraftStore(*secrets).save(payload(3, "después"), b);
    QCOMPARE(loaded(*secrets, b), text(payload(3, "después")));
    QCOMPARE(loaded(*secrets, a), text(payload(1, "de a")));
}

void DraftStoreTest::damagedDraftsFailToLoad_data()
{
    QTest::addColumn<QString>("damage");
    for (const char *damage : {"empty", "first 27 bytes", "text byte flipped", "not JSON"})
        QTest::newRow(damage) << damage;
}

void DraftStoreTest::damagedDraftsFailToLoad()
{
    QFETCH(QString, damage);
    const QString id = account("a");
    DraftStore(*m_memory).save(sample(), id);
    const QByteArray key = DraftStore(*m_memory).key(id);
    QByteArray bytes = readAll(DraftStore::file(id));
    if (damage == "empty")
        bytes.clear();
    else if (damage == "first 27 bytes")
        bytes.truncate(27);
    else if (damage == "text byte flipped")
        bytes[20] = static_cast<char>(bytes[20] ^ 0x80);
    else
        bytes = gcm(true, "{\"revision\":", key);
    QVERIFY(writeAll(DraftStore::file(id), bytes));

    QVERIFY(loaded(*m_memory, id).startsWith("FileError: "));
    // The file stays for the next save to replace; the key is kept.
    QCOMPARE(readAll(DraftStore::file(id)), bytes);
    QCOMPARE(DraftStore(*m_memory).key(id), key);
    DraftStore(*m_memory).save(payload(8, "otra vez"), id);
    QCOMPARE(loaded(*m_memory, id), text(payload(8, "otra vez")));
}

void DraftStoreTest::lockedOrRefusingKeychainKeepsTheOldDraft()
{
    const QString id = account("a");
    DraftStore(*m_memory).save(payload(1, "guardado"), id);
    const QByteArray before = readAll(DraftStore::file(id));

    m_memory->setLocked(true);
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(payload(2, "nuevo"), id); }), locked);
    QCOMPARE(loaded(*m_memory, id), locked.toUtf8());
    QCOMPARE(readAll(DraftStore::file(id)), before);
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
    // A locked keychain may hide a key: no new one is made for an account without a draft.
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), account("b")); }), locked);
    m_memory->setLocked(false);
    QCOMPARE(m_memory->size(), std::size_t{1});
    QCOMPARE(loaded(*m_memory, id), text(payload(1, "guardado")));

    // A keychain that refuses a new key: nothing is written, and a draft whose key is gone
    // cannot be read with a new one.
    const QString c = account("c");
    m_memory->setRefusingStores(true);
    QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), c); }), refused);
    QVERIFY(!QFile::exists(DraftStore::file(c)));
    QVERIFY(writeAll(DraftStore::file(c), QByteArray(64, 'x')));
    QCOMPARE(loaded(*m_memory, c), refused.toUtf8());
}

void DraftStoreTest::keyOfTheWrongSizeIsNeverReplaced_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("no data") << 0;
    QTest::newRow("31 bytes") << 31;
    QTest::newRow("33 bytes") << 33;
}

void DraftStoreTest::keyOfTheWrongSizeIsNeverReplaced()
{
    QFETCH(int, size);
    const QString id = account("a");
    const SecretStore::Bytes stored(static_cast<std::size_t>(size), 0x42);
    QVERIFY(m_memory->store(draftService, id.toStdString(), "key", stored));
    const QByteArray draft(100, 'd');
    QVERIFY(writeAll(DraftStore::file(id), draft));

    const QString saved = failure([&] { DraftStore(*m_memory).save(sample(), id); });
    QVERIFY2(saved.startsWith("ServiceError(0): "), qPrintable(saved));
    QCOMPARE(saved == locked, size == 0);
    QCOMPARE(loaded(*m_memory, id), saved.toUtf8());
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

    // Once read, the key is served from memory while the keychain cannot answer, for that
    // account alone.
    m_memory->setLocked(true);
    cache.save(payload(2, "dos"), a);
    QCOMPARE(cache.key(a), keyA);
    QCOMPARE(failure([&] { DraftStore(*m_memory).key(a); }), locked);
    QCOMPARE(failure([&] { cache.key(b); }), locked);
    cache.forget();
    QCOMPARE(failure([&] { cache.save(payload(3, "tres"), a); }), locked);

    m_memory->setLocked(false);
    QCOMPARE(loaded(*m_memory, a), text(payload(2, "dos")));

    // A key item deleted while its key is in memory is written back before anything else is
    // sealed with it: the draft stays readable by the next start.
    DraftStore kept(*m_memory);
    kept.save(payload(4, "cuatro"), a);
    QVERIFY(m_memory->remove(draftService, a.toStdString()));
    kept.save(payload(5, "cinco"), a);
    QCOMPARE(loaded(*m_memory, a), text(payload(5, "cinco")));
}

void DraftStoreTest::failedWritesKeepTheOldDraft()
{
    // The write stops part-way, as on a full disk: a write past the cap fails with EFBIG the
    // way a full disk fails with ENOSPC, and the cap binds root too.
    const QString id = account("a");
    DraftStore(*m_memory).save(payload(1, "antes"), id);
    const QByteArray before = readAll(DraftStore::file(id));
    // Far larger than the old draft, so that a write cut short cannot pass for it.
    const JSON large = payload(2, std::string(256 * 1024, 'z'));
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit capped = saved;
    capped.rlim_cur = 64 * 1024;
    const bool cut = ::setrlimit(RLIMIT_FSIZE, &capped) == 0;
    const QString failed = failure([&] { DraftStore(*m_memory).save(large, id); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(cut);
    QVERIFY2(failed.startsWith("FileError: "), qPrintable(failed));
    QCOMPARE(readAll(DraftStore::file(id)), before);
    QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
    DraftStore(*m_memory).save(large, id);
    QCOMPARE(loaded(*m_memory, id), text(large));

    // Nothing can replace a directory: the temporary file is made, written, synced, and then
    // must go. Nor does a load wait on a pipe put in a draft's place.
    const QString blocked = account("b");
    QVERIFY(QDir().mkpath(DraftStore::file(blocked) + "/inside"));
    QVERIFY(
        failure([&] { DraftStore(*m_memory).save(sample(), blocked); }).startsWith("FileError"));
    QVERIFY(loaded(*m_memory, blocked).startsWith("FileError: "));
    const QString piped = account("c");
    QCOMPARE(::mkfifo(QFile::encodeName(DraftStore::file(piped)).constData(), 0600), 0);
    QVERIFY(loaded(*m_memory, piped).startsWith("FileError: "));
    QCOMPARE(entries(drafts()),
             (QStringList{id + ".encrypted", blocked + ".encrypted", piped + ".encrypted"}));
}

void DraftStoreTest::backupReplacesAFileWithAPrivateOne()
{
    const QString directory = m_home->path() + "/Respaldos";
    QVERIFY(QDir().mkpath(directory));
    QCOMPARE(::chmod(QFile::encodeName(directory).constData(), 0755), 0);
    const QString path = directory + "/quorvale-respaldo.json";
    QVERIFY(writeAll(path, "old backup"));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);

    durable::writeFileAtomically(path, text(sample()));
    QCOMPARE(readAll(path), text(sample()));
    QCOMPARE(mode(path), 0600);
    QCOMPARE(mode(directory), 0755); // the user's directory is left as it was
    QCOMPARE(entries(directory), QStringList{"quorvale-respaldo.json"});
}

void DraftStoreTest::signedOutSavesNothingAndRemoveNeverFails()
{
    DraftStore(*m_memory).save(sample(), QString());
    QCOMPARE(m_memory->size(), std::size_t{0});
    QCOMPARE(filesBelow(m_home->path()), QStringList());
    QCOMPARE(loaded(*m_memory, QString()), QByteArray("no draft"));

    const QString id = account("a");
    for (const QString &gone : {id, QString(), QStringLiteral("../escape")})
        DraftStore::remove(gone);
    DraftStore(*m_memory).save(sample(), id);
    DraftStore::remove(id);
    QCOMPARE(entries(drafts()), QStringList());
    QCOMPARE(m_memory->size(), std::size_t{1}); // the key stays
    QCOMPARE(loaded(*m_memory, id), QByteArray("no draft"));
}

void DraftStoreTest::accountIdsStayInsideTheDraftsDirectory_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("fileName");
    QTest::newRow("accents and emoji") << "cuenta-ñ-😀" << true;
    QTest::newRow("dot dot") << ".." << true;
    QTest::newRow("parent path") << "../../escape" << false;
    QTest::newRow("absolute path") << "/tmp/escape" << false;
    QTest::newRow("NUL") << QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b") << false;
}

void DraftStoreTest::accountIdsStayInsideTheDraftsDirectory()
{
    QFETCH(QString, id);
    QFETCH(bool, fileName);
    if (fileName) {
        DraftStore(*m_memory).save(sample(), id);
        QCOMPARE(filesBelow(m_home->path()), QStringList{drafts() + "/" + id + ".encrypted"});
        QCOMPARE(loaded(*m_memory, id), text(sample()));
        return;
    }
    for (const QString &failed : {failure([&] { DraftStore::file(id); }),
                                  failure([&] { DraftStore(*m_memory).save(sample(), id); }),
                                  QString::fromUtf8(loaded(*m_memory, id))})
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
    QVERIFY(path.startsWith(drafts() + "/") && !QFileInfo::exists(path));
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
