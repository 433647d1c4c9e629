#include "service/service.h"
#include "service/vault.h"
#include "support/awaiting.h"
#include "support/cannedserver.h"
#include "support/memorysecretstore.h"
#include "support/referenceserver.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTest>
#include <QUrlQuery>

using quorvale::JSON;
using quorvale::MemorySecretStore;
using quorvale::Service;
using quorvale::test::CannedServer;
using quorvale::test::Outcome;
using quorvale::test::ReferenceServer;

namespace {

const QString cancelled = QStringLiteral("Inicio de sesión cancelado");
const QString invalid = QStringLiteral("Respuesta de inicio de sesión inválida");

QString item(const QUrl &url, const char *name)
{
    return QUrlQuery(url).queryItemValue(QString::fromLatin1(name), QUrl::FullyDecoded);
}

QUrl callback(const QString &state, const QString &code = QStringLiteral("c0de"))
{
    QUrl url(QStringLiteral("mx.qvl.quorvale://oauth"));
    QUrlQuery query;
    if (!state.isNull())
        query.addQueryItem(QStringLiteral("state"), state);
    if (!code.isNull())
        query.addQueryItem(QStringLiteral("code"), code);
    url.setQuery(query);
    return url;
}

// A sign-in under way: the task runs on the event loop while the test plays the browser.
struct SignIn
{
    std::optional<Outcome<quorvale::test::Done>> outcome;
};

QCoro::Task<> watch(QCoro::Task<> task, SignIn *into)
{
    into->outcome = co_await quorvale::test::capture(std::move(task));
}

} // namespace

class SignInTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void theCallbackCompletesTheSignIn();
    void callbacksForOtherSignInsAreIgnored();
    void aNewSignInCancelsThePendingOne();
    void cancelTimerAndBrowserFailureEndItOnce();
    void badCallbacksAndAnswersStoreNothing_data();
    void badCallbacksAndAnswersStoreNothing();
    void logoutForgetsTheSessionEvenOffline();
    void theSessionLivesInTheRealKeyring();

private:
    void start();
    void finishWith(const QUrl &url);

    ReferenceServer m_certificates; // only lends its localhost certificate to the canned server
    std::unique_ptr<CannedServer> m_server;
    std::unique_ptr<MemorySecretStore> m_secrets;
    std::unique_ptr<Service> m_service;
    QList<QUrl> m_opened;
    bool m_browserWorks = true;
    SignIn m_signIn;
};

void SignInTest::initTestCase()
{
    bool ok = false;
    m_certificates.cli({QStringLiteral("account"), QStringLiteral("list")}, &ok);
    QVERIFY(ok);
}

void SignInTest::init()
{
    m_server = std::make_unique<CannedServer>(
        m_certificates.dataDir() + QStringLiteral("/server.pem"),
        m_certificates.dataDir() + QStringLiteral("/server-key.pem"));
    QVERIFY(m_server->listen());
    m_secrets = std::make_unique<MemorySecretStore>();
    m_service = std::make_unique<Service>(*m_secrets, m_server->origin(),
                                          QSslCertificate::fromPath(m_certificates.caFile()));
    m_opened.clear();
    m_browserWorks = true;
    m_service->setBrowser([this](const QUrl &url) {
        m_opened.append(url);
        return m_browserWorks;
    });
    m_signIn = {};
}

void SignInTest::start()
{
    m_signIn = {};
    watch(m_service->signIn(), &m_signIn);
}

void SignInTest::finishWith(const QUrl &url)
{
    m_service->completeAuthentication(url);
    QTRY_VERIFY_WITH_TIMEOUT(m_signIn.outcome.has_value(), 10000);
}

void SignInTest::theCallbackCompletesTheSignIn()
{
    m_server->reply(CannedServer::response(200, R"({"token":"tok-🎙"})"));
    start();
    QCOMPARE(m_opened.size(), 1);
    const QUrl login = m_opened.first();
    QCOMPARE(login.scheme(), QStringLiteral("https"));
    QCOMPARE(login.port(), m_server->origin().port());
    QCOMPARE(login.path(), QStringLiteral("/auth/login"));
    const auto items = QUrlQuery(login).queryItems();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0].first, QStringLiteral("challenge"));
    QCOMPARE(items[1].first, QStringLiteral("app_state"));

    finishWith(callback(item(login, "app_state"), QStringLiteral("code with spaces")));
    QVERIFY(m_signIn.outcome->ok());
    QCOMPARE(m_service->token(), std::optional<QString>(QStringLiteral("tok-🎙")));
    QCOMPARE(quorvale::Vault::read(*m_secrets), std::optional<QString>(QStringLiteral("tok-🎙")));

    // The exchange carries the code decoded and proves the verifier behind the challenge.
    const auto &exchange = m_server->requests().last();
    QCOMPARE(exchange.method, QByteArray("POST"));
    QCOMPARE(exchange.target, QByteArray("/auth/native/exchange"));
    const JSON sent = JSON::decode(exchange.body.toStdString());
    QCOMPARE(sent["code"].stringValue(), std::string_view("code with spaces"));
    const QByteArray verifier =
        QByteArray::fromStdString(std::string(sent["verifier"].stringValue()));
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}$"))
                 .match(QString::fromLatin1(verifier))
                 .hasMatch(),
             verifier.constData());
    const QByteArray challenge =
        QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    QCOMPARE(QString::fromLatin1(challenge), item(login, "challenge"));
    QVERIFY(item(login, "app_state") != QString::fromLatin1(verifier));

    // A restart finds the session in the keychain.
    Service restarted(*m_secrets, m_server->origin(), {});
    QCOMPARE(restarted.token(), std::optional<QString>(QStringLiteral("tok-🎙")));
}

void SignInTest::callbacksForOtherSignInsAreIgnored()
{
    m_server->reply(CannedServer::response(200, R"({"token":"t"})"));
    start();
    const QString state = item(m_opened.first(), "app_state");
    const QList<QUrl> ignored = {
        callback(QStringLiteral("other")),
        callback(QString()),          // no state at all
        callback(QStringLiteral("")), // a state without a value
        QUrl(QStringLiteral("mx.qvl.quorvale://other?state=") + state + QStringLiteral("&code=x")),
        QUrl(QStringLiteral("https://oauth/?state=") + state + QStringLiteral("&code=x")),
    };
    for (const QUrl &url : ignored)
        m_service->completeAuthentication(url);
    QTest::qWait(50);
    QVERIFY(!m_signIn.outcome);
    QCOMPARE(m_server->requests().size(), 0);

    finishWith(callback(state));
    QVERIFY(m_signIn.outcome->ok());

    // Nothing pending any more: a late callback does nothing at all.
    m_service->completeAuthentication(callback(state));
    QTest::qWait(50);
    QCOMPARE(m_server->requests().size(), 1);
}

void SignInTest::aNewSignInCancelsThePendingOne()
{
    m_server->reply(CannedServer::response(200, R"({"token":"second"})"));
    SignIn first;
    watch(m_service->signIn(), &first);
    start();
    QTRY_VERIFY(first.outcome.has_value());
    QVERIFY(first.outcome->serviceError);
    QCOMPARE(first.outcome->serviceError->message(), cancelled);
    QCOMPARE(first.outcome->serviceError->status(), 0);

    QCOMPARE(m_opened.size(), 2);
    QVERIFY(item(m_opened[0], "app_state") != item(m_opened[1], "app_state"));
    QVERIFY(item(m_opened[0], "challenge") != item(m_opened[1], "challenge"));
    // The first sign-in's state no longer opens anything.
    m_service->completeAuthentication(callback(item(m_opened[0], "app_state")));
    QTest::qWait(50);
    QVERIFY(!m_signIn.outcome);
    finishWith(callback(item(m_opened[1], "app_state")));
    QVERIFY(m_signIn.outcome->ok());
    QCOMPARE(m_service->token(), std::optional<QString>(QStringLiteral("second")));
}

void SignInTest::cancelTimerAndBrowserFailureEndItOnce()
{
    start();
    m_service->cancelSignIn();
    m_service->cancelSignIn(); // a second cancel finds nothing to end
    QTRY_VERIFY(m_signIn.outcome.has_value());
    QCOMPARE(m_signIn.outcome->serviceError->message(), cancelled);

    m_service->setSignInTimeout(std::chrono::milliseconds(100));
    start();
    const QString state = item(m_opened.last(), "app_state");
    QTRY_VERIFY(m_signIn.outcome.has_value());
    QCOMPARE(m_signIn.outcome->serviceError->message(), cancelled);
    m_service->completeAuthentication(callback(state)); // too late
    QTest::qWait(50);

    m_browserWorks = false;
    start();
    QTRY_VERIFY(m_signIn.outcome.has_value());
    QCOMPARE(m_signIn.outcome->serviceError->message(), cancelled);
    QCOMPARE(m_server->requests().size(), 0);
    QVERIFY(!m_service->token());
}

void SignInTest::badCallbacksAndAnswersStoreNothing_data()
{
    QTest::addColumn<QString>("code");      // null: none in the callback
    QTest::addColumn<QByteArray>("answer"); // to the exchange; empty: no exchange
    QTest::addColumn<bool>("keychainRefuses");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QByteArray token = CannedServer::response(200, R"({"token":"t"})");
    const QString session = QStringLiteral("Sesión inválida");
    QTest::newRow("no code") << QString() << QByteArray() << false << 0 << invalid;
    QTest::newRow("empty code") << QStringLiteral("") << QByteArray() << false << 0 << invalid;
    QTest::newRow("empty token") << QStringLiteral("c")
                                 << CannedServer::response(200, R"({"token":""})") << false << 0
                                 << session;
    QTest::newRow("token not a text")
        << QStringLiteral("c") << CannedServer::response(200, R"({"token":42})") << false << 0
        << session;
    QTest::newRow("no token") << QStringLiteral("c")
                              << CannedServer::response(200, R"({"session":"x"})") << false << 0
                              << session;
    QTest::newRow("refused exchange")
        << QStringLiteral("c") << CannedServer::response(400, R"({"error":"código vencido"})")
        << false << 400
        << QStringLiteral("No se pudo completar la operación (400): código vencido");
    QTest::newRow("keychain refuses")
        << QStringLiteral("c") << token << true << 0
        << QStringLiteral("No se pudo guardar la sesión en el llavero.");
}

void SignInTest::badCallbacksAndAnswersStoreNothing()
{
    QFETCH(QString, code);
    QFETCH(QByteArray, answer);
    QFETCH(bool, keychainRefuses);
    QFETCH(int, status);
    QFETCH(QString, message);
    m_secrets->setRefusingStores(keychainRefuses);
    if (!answer.isEmpty())
        m_server->reply(answer);
    start();
    const QString state = item(m_opened.last(), "app_state");
    finishWith(callback(state, code));
    QVERIFY(m_signIn.outcome->serviceError);
    QCOMPARE(m_signIn.outcome->serviceError->status(), status);
    QCOMPARE(m_signIn.outcome->serviceError->message(), message);
    QCOMPARE(m_secrets->size(), 0u);
    QVERIFY(!m_service->token());

    // The pending state is gone: the same state with a code does nothing now.
    const qsizetype exchanges = m_server->requests().size();
    QCOMPARE(exchanges, answer.isEmpty() ? 0 : 1);
    m_service->completeAuthentication(callback(state));
    QTest::qWait(50);
    QCOMPARE(m_server->requests().size(), exchanges);
}

void SignInTest::logoutForgetsTheSessionEvenOffline()
{
    quorvale::Vault::save(*m_secrets, QStringLiteral("old"));
    Service online(*m_secrets, m_server->origin(),
                   QSslCertificate::fromPath(m_certificates.caFile()));
    QCOMPARE(online.token(), std::optional<QString>(QStringLiteral("old")));
    m_server->reply(CannedServer::response(200, "{}"));
    QVERIFY(quorvale::test::finish(online.logout()).ok());
    QCOMPARE(m_server->requests().last().target, QByteArray("/auth/logout"));
    QCOMPARE(m_server->requests().last().headers.value("authorization"), QByteArray("Bearer old"));
    QVERIFY(!online.token());
    QVERIFY(!quorvale::Vault::read(*m_secrets));

    quorvale::Vault::save(*m_secrets, QStringLiteral("again"));
    Service offline(*m_secrets, QUrl(QStringLiteral("https://localhost:1")), {});
    QVERIFY(quorvale::test::finish(offline.logout()).ok());
    QVERIFY(!offline.token());
    QCOMPARE(m_secrets->size(), 0u);
}

void SignInTest::theSessionLivesInTheRealKeyring()
{
    if (!qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING"))
        QSKIP("needs the private keyring of scripts/with-keyring");
    const auto keyring = quorvale::SecretStore::system();
    quorvale::Vault::clear(*keyring);
    const auto authorities = QSslCertificate::fromPath(m_certificates.caFile());
    {
        Service first(*keyring, m_server->origin(), authorities);
        QVERIFY(!first.token());
        first.setBrowser([this](const QUrl &url) {
            m_opened.append(url);
            return true;
        });
        m_server->reply(CannedServer::response(200, R"({"token":"llavero-1"})"));
        m_signIn = {};
        watch(first.signIn(), &m_signIn);
        first.completeAuthentication(callback(item(m_opened.last(), "app_state")));
        QTRY_VERIFY_WITH_TIMEOUT(m_signIn.outcome.has_value(), 10000);
        QVERIFY(m_signIn.outcome->ok());
    }
    // A restart: the new service starts signed in.
    Service restarted(*keyring, m_server->origin(), authorities);
    QCOMPARE(restarted.token(), std::optional<QString>(QStringLiteral("llavero-1")));

    // Signing out with the server gone still forgets the session for good.
    Service offline(*keyring, QUrl(QStringLiteral("https://localhost:1")), {});
    QVERIFY(quorvale::test::finish(offline.logout()).ok());
    Service later(*keyring, m_server->origin(), authorities);
    QVERIFY(!later.token());
}

QTEST_GUILESS_MAIN(SignInTest)
#include "tst_signin.moc"
