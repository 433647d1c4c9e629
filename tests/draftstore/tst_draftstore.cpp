#include "draftstore/draftstore.h"
#include "files/durablefile.h"
#include "service/serviceerror.h"
#include "support/files.h"
#include "support/memorysecretstore.h"
#include "support/xdghome.h"
#include "json/json.h"

#include <QDirIterator>
#include <QTest>

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
    // A write past a size cap fails instead of ending the process.
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }
    void init()
    {
        // Each test gets folders of its own. (Qt's test mode would share ~/.qttest instead.) The
        // last test's go first: going, they put back the variables they found.
        m_home.reset();
        m_home = std::make_unique<XdgHome>();
        QVERIFY(m_home->isValid());
        m_memory = std::make_unique<MemorySecretStore>();
    }

    // On an in-memory keychain: the model's suite keeps drafts on the real keyring.
    void draftsAreSealedPrivateAndFreshEachWrite()
    {
        const QString id = "a";
        DraftStore(*m_memory).save(sample(), id);
        const QString path = DraftStore::file(id);
        const QByteArray first = readAll(path);
        QCOMPARE(gcm(false, first, DraftStore(*m_memory).key(id)), text(sample()));

        // The same payload again: a fresh nonce makes other bytes, and the file is private again
        // even if someone opened it up meanwhile.
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
        DraftStore(*m_memory).save(sample(), id);
        const QByteArray second = readAll(path);
        QVERIFY(second.left(12) != first.left(12) && second.mid(12) != first.mid(12));
        QCOMPARE(mode(path), 0600);
        QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});

        // A draft sealed by another build with the same key reads back.
        const QByteArray foreign = R"({"revision":3,"workspace":null})";
        QVERIFY(writeAll(path, gcm(true, foreign, DraftStore(*m_memory).key(id))));
        QCOMPARE(loaded(*m_memory, id), foreign);
    }

    void accountsKeepSeparateDraftsAndKeys()
    {
        const QString a = "a";
        const QString b = "b";
        DraftStore(*m_memory).save(payload(1, "de a"), a);
        DraftStore(*m_memory).save(payload(2, "de b"), b);
        const QByteArray keyA = DraftStore(*m_memory).key(a);
        const QByteArray keyB = DraftStore(*m_memory).key(b);
        QVERIFY(keyA.size() == 32 && keyA != keyB);
        QCOMPARE(DraftStore(*m_memory).key(a), keyA); // read back, not made anew
        QCOMPARE(loaded(*m_memory, a), text(payload(1, "de a")));
        QCOMPARE(loaded(*m_memory, b), text(payload(2, "de b")));

        // One account's draft put in the other's place is never read for it.
        const QByteArray draftOfB = readAll(DraftStore::file(b));
        QVERIFY(writeAll(DraftStore::file(b), readAll(DraftStore::file(a))));
        QVERIFY(loaded(*m_memory, b).startsWith("FileError: "));
        QCOMPARE(DraftStore(*m_memory).key(b), keyB);
        QVERIFY(writeAll(DraftStore::file(b), draftOfB));
        QCOMPARE(loaded(*m_memory, b), text(payload(2, "de b")));

        // A deleted key loses the draft until the next save: the failed load leaves the file and
        // makes the account a new key.
        QVERIFY(m_memory->remove(draftService, b.toStdString()));
        QVERIFY(loaded(*m_memory, b).startsWith("FileError: "));
        QCOMPARE(readAll(DraftStore::file(b)), draftOfB);
        QCOMPARE(m_memory->find(draftService, b.toStdString()).data.size(), std::size_t{32});
        QVERIFY(DraftStore(*m_memory).key(b) != keyB);
        DraftStore(*m_memory).save(payload(3, "después"), b);
        QCOMPARE(loaded(*m_memory, b), text(payload(3, "después")));
        QCOMPARE(loaded(*m_memory, a), text(payload(1, "de a")));
    }

    // Files that are not a draft of this account fail to load and stay as they are.
    void damagedDraftsFailToLoad_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char *damage : {"empty", "first 27 bytes", "text byte flipped", "not JSON"})
            QTest::newRow(damage) << damage;
    }

    void damagedDraftsFailToLoad()
    {
        QFETCH(QString, damage);
        const QString id = "a";
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

    // Keychains that give no key.
    void lockedOrRefusingKeychainKeepsTheOldDraft()
    {
        const QString id = "a";
        DraftStore(*m_memory).save(payload(1, "guardado"), id);
        const QByteArray before = readAll(DraftStore::file(id));

        m_memory->setLocked(true);
        QCOMPARE(failure([&] { DraftStore(*m_memory).save(payload(2, "nuevo"), id); }), locked);
        QCOMPARE(loaded(*m_memory, id), locked.toUtf8());
        QCOMPARE(readAll(DraftStore::file(id)), before);
        QCOMPARE(entries(drafts()), QStringList{id + ".encrypted"});
        // A locked keychain may hide a key: no new one is made for an account without a draft.
        QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), "b"); }), locked);
        m_memory->setLocked(false);
        QCOMPARE(m_memory->size(), std::size_t{1});
        QCOMPARE(loaded(*m_memory, id), text(payload(1, "guardado")));

        // A keychain that refuses a new key: nothing is written, and a draft whose key is gone
        // cannot be read with a new one.
        const QString c = "c";
        m_memory->setRefusingStores(true);
        QCOMPARE(failure([&] { DraftStore(*m_memory).save(sample(), c); }), refused);
        QVERIFY(!QFile::exists(DraftStore::file(c)));
        QVERIFY(writeAll(DraftStore::file(c), QByteArray(64, 'x')));
        QCOMPARE(loaded(*m_memory, c), refused.toUtf8());
    }

    void keyOfTheWrongSizeIsNeverReplaced()
    {
        const QString id = "a";
        const QByteArray draft(100, 'd');
        QVERIFY(writeAll(DraftStore::file(id), draft));
        for (const std::size_t size : {0UL, 31UL}) { // an empty item reads as a locked keychain's
            const SecretStore::Bytes stored(size, 0x42);
            QVERIFY(m_memory->store(draftService, id.toStdString(), "key", stored));
            const QString saved = failure([&] { DraftStore(*m_memory).save(sample(), id); });
            QVERIFY2(saved.startsWith("ServiceError(0): "), qPrintable(saved));
            QCOMPARE(saved == locked, size == 0);
            QCOMPARE(loaded(*m_memory, id), saved.toUtf8());
            QVERIFY(m_memory->find(draftService, id.toStdString()).data == stored);
            QCOMPARE(readAll(DraftStore::file(id)), draft);
        }
    }

    void keyCacheSparesTheKeychain()
    {
        const QString a = "a";
        const QString b = "b";
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

    // Writes that fail leave the previous file whole and no temporary file.
    void failedWritesKeepTheOldDraft()
    {
        // The write stops part-way, as on a full disk: a write past the cap fails with EFBIG the
        // way a full disk fails with ENOSPC, and the cap binds root too.
        const QString id = "a";
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
        const QString blocked = "b";
        QVERIFY(QDir().mkpath(DraftStore::file(blocked) + "/inside"));
        QVERIFY(failure([&] {
                    DraftStore(*m_memory).save(sample(), blocked);
                }).startsWith("FileError"));
        QVERIFY(loaded(*m_memory, blocked).startsWith("FileError: "));
        const QString piped = "c";
        QCOMPARE(::mkfifo(QFile::encodeName(DraftStore::file(piped)).constData(), 0600), 0);
        QVERIFY(loaded(*m_memory, piped).startsWith("FileError: "));
        QCOMPARE(entries(drafts()),
                 (QStringList{id + ".encrypted", blocked + ".encrypted", piped + ".encrypted"}));
    }

    void backupReplacesAFileWithAPrivateOne()
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

    // Accounts and places.
    void signedOutSavesNothingAndRemoveNeverFails()
    {
        DraftStore(*m_memory).save(sample(), QString());
        QCOMPARE(m_memory->size(), std::size_t{0});
        QCOMPARE(filesBelow(m_home->path()), QStringList());
        QCOMPARE(loaded(*m_memory, QString()), QByteArray("no draft"));

        const QString id = "a";
        for (const QString &gone : {id, QString(), QStringLiteral("../escape")})
            DraftStore::remove(gone);
        DraftStore(*m_memory).save(sample(), id);
        DraftStore::remove(id);
        QCOMPARE(entries(drafts()), QStringList());
        QCOMPARE(m_memory->size(), std::size_t{1}); // the key stays
        QCOMPARE(loaded(*m_memory, id), QByteArray("no draft"));
    }

    void accountIdsStayInsideTheDraftsDirectory_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("fileName");
        QTest::newRow("accents and emoji") << "cuenta-ñ-😀" << true;
        QTest::newRow("dot dot") << ".." << true;
        QTest::newRow("absolute path") << "/tmp/escape" << false;
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b") << false;
    }

    void accountIdsStayInsideTheDraftsDirectory()
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

    void directoriesArePrivate()
    {
        // A data home that does not exist yet is made too, private like the rest.
        const QString home = m_home->data();
        QVERIFY(QDir(home).removeRecursively());
        const QString path = DraftStore::file("a");
        QVERIFY(path.startsWith(drafts() + "/") && !QFileInfo::exists(path));
        for (const QString &directory : {home, home + "/Quorvale", drafts()})
            QCOMPARE(mode(directory), 0700);

        // Directories that exist already are the user's and keep their permissions.
        QCOMPARE(::chmod(QFile::encodeName(home).constData(), 0755), 0);
        QVERIFY(QDir(drafts()).removeRecursively());
        DraftStore::file("a");
        QCOMPARE(mode(home), 0755);
        QCOMPARE(mode(drafts()), 0700);

        // A umask that takes the owner's own bits away changes none of this.
        QVERIFY(QDir(home + "/Quorvale").removeRecursively());
        const QString id = "b";
        const mode_t saved = ::umask(0277);
        const QString failed = failure([&] { DraftStore(*m_memory).save(sample(), id); });
        ::umask(saved);
        QCOMPARE(failed, "no failure");
        QCOMPARE(mode(home + "/Quorvale"), 0700);
        QCOMPARE(mode(drafts()), 0700);
        QCOMPARE(mode(DraftStore::file(id)), 0600);
    }

private:
    QString drafts() const { return m_home->data() + "/Quorvale/Drafts"; }

    std::unique_ptr<MemorySecretStore> m_memory;
    std::unique_ptr<XdgHome> m_home;
};

QTEST_GUILESS_MAIN(DraftStoreTest)
#include "tst_draftstore.moc"
