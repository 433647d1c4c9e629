#include "service/serviceerror.h"
#include "service/vault.h"
#include "support/keyring.h"
#include "support/memorysecretstore.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <string>
#include <string_view>

using namespace quorvale;
using Outcome = SecretStore::Outcome;
using Bytes = SecretStore::Bytes;

#ifndef QUORVALE_SECRETPROBE
#define QUORVALE_SECRETPROBE "" // the probe is built on Linux only
#endif

namespace {

const std::string testService = "mx.qvl.quorvale.test";
const std::string otherService = "mx.qvl.quorvale.other";

Bytes bytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// Byte strings in a form that QCOMPARE can print.
QByteArray shown(const Bytes &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()),
                      static_cast<qsizetype>(data.size()));
}

// Runs the keyring probe with the given steps, optionally through a wrapper, and returns its
// output lines. A probe still running after limitMs has hung (D-Bus itself gives up on a call
// only after 25 seconds).
QStringList runProbe(const QStringList &steps, const QProcessEnvironment &environment, int limitMs,
                     const QString &wrapper = {})
{
    QProcess probe;
    probe.setProcessEnvironment(environment);
    const QString program = QStringLiteral(QUORVALE_SECRETPROBE);
    if (wrapper.isEmpty())
        probe.start(program, steps);
    else
        probe.start(wrapper, QStringList{program} + steps);
    if (!probe.waitForFinished(limitMs)) {
        probe.kill();
        probe.waitForFinished();
        return {"the probe did not finish"};
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return {"the probe failed: " + QString::fromLocal8Bit(probe.readAllStandardError())};
    return QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

class SecretStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_system = test::privateKeyring(m_skipReason);
        QVERIFY2(!m_system || m_system->remove(testService, "a"),
                 "the private keyring does not answer");
    }

    void cleanup()
    {
        if (!m_system)
            return;
        for (const char *account : {"a", "b"})
            m_system->remove(testService, account);
        m_system->remove(otherService, "a");
        Vault::clear(*m_system);
    }

    // The system keychain, on the private keyring that scripts/with-keyring provides.
    void itemsKeepBinaryDataApartByAccountAndService()
    {
        if (!m_system)
            QSKIP(m_skipReason.constData());
        SecretStore &store = *m_system;
        QCOMPARE(store.find(testService, "a").outcome, Outcome::NotFound);

        const Bytes key{0xff, 0x00, 0x80, 'k', 0x7f, 0xc3};
        QVERIFY(store.store(testService, "a", "clave", key));
        QVERIFY(store.store(testService, "b", "b", bytes("key of b")));
        QVERIFY(store.store(otherService, "a", "other", bytes("other a")));
        QCOMPARE(shown(store.find(testService, "a").data), shown(key));
        QCOMPARE(shown(store.find(testService, "b").data), shown(bytes("key of b")));
        QCOMPARE(shown(store.find(otherService, "a").data), shown(bytes("other a")));
        // Matching is exact: an empty account is no wildcard.
        QCOMPARE(store.find(testService, "").outcome, Outcome::NotFound);

        // A NUL inside an account id must not cut it short into another account's name; nor is a
        // name that is not UTF-8 passed on.
        const std::string withNul("a\0b", 3);
        QCOMPARE(store.find(testService, withNul).outcome, Outcome::Unavailable);
        QVERIFY(!store.store(testService, withNul, "x", bytes("x")));
        QVERIFY(!store.remove(testService, withNul));
        QCOMPARE(store.find(testService, "a\xff").outcome, Outcome::Unavailable);

        // Storing again replaces the item rather than adding a second one; removal touches one
        // item.
        QVERIFY(store.store(testService, "a", "clave", bytes("second")));
        QCOMPARE(shown(store.find(testService, "a").data), shown(bytes("second")));
        QVERIFY(store.remove(testService, "a"));
        QCOMPARE(store.find(testService, "a").outcome, Outcome::NotFound);
        QCOMPARE(shown(store.find(otherService, "a").data), shown(bytes("other a")));

        // Removing what is not there is no failure; an empty item is still an item.
        QVERIFY(store.remove(testService, "a"));
        QVERIFY(store.store(testService, "a", "vacía", {}));
        const SecretStore::Lookup found = store.find(testService, "a");
        QVERIFY(found.outcome == Outcome::Found && found.data.empty());
    }

    // Keychains that cannot answer, each in a process of its own.
    void lockedKeyringIsUnavailableNotEmpty()
    {
        if (QLatin1StringView(QUORVALE_SECRETPROBE).isEmpty())
            QSKIP("the keyring probe is built on Linux only");
        // A keyring of its own, which the probe locks: locking the shared one would disturb the
        // suites running beside this one. "a" exists but cannot be read; "b" may exist too, hidden
        // by the lock: neither is "not found", and nothing is written or deleted.
        const QStringList output =
            runProbe({"store:a", "lock", "find:a", "find:b", "store:b", "remove:a"},
                     QProcessEnvironment::systemEnvironment(), 20000,
                     QStringLiteral(QUORVALE_SOURCE_DIR "/scripts/with-keyring"));
        const QStringList expected{"store:a true",       "lock true",     "find:a unavailable",
                                   "find:b unavailable", "store:b false", "remove:a false"};
        QCOMPARE(output, expected);
    }

    void noSessionBusIsUnavailable()
    {
        if (QLatin1StringView(QUORVALE_SECRETPROBE).isEmpty())
            QSKIP("the keyring probe is built on Linux only");
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DBUS_SESSION_BUS_ADDRESS");
        environment.remove("DISPLAY"); // glib would launch a bus for an X display
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("XDG_RUNTIME_DIR", runtime.path()); // no "bus" socket

        const QStringList output = runProbe({"find:a", "store:a", "remove:a"}, environment, 10000);
        const QStringList expected{"find:a unavailable", "store:a false", "remove:a false"};
        QCOMPARE(output, expected);
    }

    // The session vault on an in-memory keychain.
    void vaultRejectsInvalidUtf8()
    {
        // A four-byte character reads back; cut short at the end, or overlong, it does not.
        for (const QByteArray stored : {"\xf0\x9f\x98\x80", "ab\xe2\x82", "\xc0\xaf"}) {
            MemorySecretStore store;
            QVERIFY(store.store("mx.qvl.quorvale.session", "session", "",
                                Bytes(stored.begin(), stored.end())));
            const std::optional<QString> token = Vault::read(store);
            QCOMPARE(token.value_or(QString()).toUtf8(), stored.startsWith('\xf0') ? stored : "");
        }
    }

    void vaultOnAKeychainThatCannotAnswer()
    {
        MemorySecretStore store;
        Vault::save(store, "token");
        store.setLocked(true);
        QCOMPARE(Vault::read(store), std::nullopt);
        Vault::clear(store); // ignored, and the item stays
        // A save that does not reach the keychain is reported, never taken for done.
        QVERIFY_THROWS_EXCEPTION(ServiceError, Vault::save(store, "other"));
        store.setLocked(false);
        QCOMPARE(Vault::read(store), std::optional<QString>("token"));
    }

private:
    std::unique_ptr<SecretStore> m_system;
    QByteArray m_skipReason;
};

QTEST_GUILESS_MAIN(SecretStoreTest)
#include "tst_secretstore.moc"
