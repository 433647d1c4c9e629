#include "service/service.h"
#include "service/vault.h"
#include "support/awaiting.h"
#include "support/cannedserver.h"
#include "support/httpsclient.h"
#include "support/keyring.h"
#include "support/memorysecretstore.h"
#include "support/referenceserver.h"

#include <QCryptographicHash>
#include <QTest>
#include <QUrlQuery>

using namespace quorvale;
using namespace quorvale::test;

namespace {

const QString cancelled = "Inicio de sesión cancelado";
const QString invalid = "Respuesta de inicio de sesión inválida";

QString item(const QUrl &url, const char *name)
{
    return QUrlQuery(url).queryItemValue(QString::fromLatin1(name), QUrl::FullyDecoded);
}

QUrl callback(const QString &state, const QString &code = "c0de")
{
    QUrlQuery query;
    if (!state.isNull())
        query.addQueryItem("state", state);
    if (!code.isNull())
        query.addQueryItem("code", code);
    QUrl url(QStringLiteral("mx.qvl.quorvale://oauth"));
    url.setQuery(query);
    return url;
}

// A sign-in under way: the task runs on the event loop while the test plays the browser.
using SignIn = std::optional<Outcome<Done>>;

QCoro::Task<> watch(QCoro::Task<> task, SignIn *into)
{
    *into = co_await capture(std::move(task));
}

} // namespace

class SignInTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        bool ok = false;
        m_certificates.cli({"account", "list"}, &ok);
        QVERIFY(ok);
    }

    void init()
    {
        m_server = CannedServer::besides(m_certificates);
        QVERIFY(m_server);
        m_secrets = std::make_unique<MemorySecretStore>();
        m_service = serviceOn(*m_secrets);
        m_opened.clear();
        m_browserWorks = true;
        m_signIn.reset();
    }

    void theCallbackCompletesTheSignIn()
    {
        m_server->reply(CannedServer::response(200, R"({"token":"tok-🎙"})"));
        start(*m_service);
        QCOMPARE(m_opened.size(), 1);
        const QUrl login = m_opened.first();
        QCOMPARE(login.adjusted(QUrl::RemoveQuery),
                 m_server->origin().resolved(QUrl("/auth/login")));

        finishWith(callback(state(), "code with spaces"));
        QVERIFY(m_signIn->ok());
        QCOMPARE(m_service->token(), std::optional<QString>("tok-🎙"));

        // The exchange carries the code decoded and proves the verifier behind the challenge.
        const auto &exchange = m_server->requests().last();
        QCOMPARE(exchange.target, QByteArray("/auth/native/exchange"));
        const JSON sent = JSON::decode(exchange.body.toStdString());
        QCOMPARE(sent["code"], JSON("code with spaces"));
        const QByteArray verifier = str(sent["verifier"].stringValue());
        const QByteArray challenge =
            QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        QCOMPARE(QString::fromLatin1(challenge), item(login, "challenge"));
        QVERIFY(item(login, "app_state") != QString::fromLatin1(verifier));

        // Signing out ends the session on the server too (a restart's is the real keyring's case).
        m_server->reply(CannedServer::response(200, "{}"));
        QVERIFY(finish(m_service->logout()).ok());
        QCOMPARE(m_server->requests().last().target, QByteArray("/auth/logout"));
        QCOMPARE(m_server->requests().last().headers.value("authorization"),
                 QByteArray("Bearer tok-🎙"));
        QVERIFY(!m_service->token() && m_secrets->size() == 0u);
    }

    void callbacksForOtherSignInsAreIgnored()
    {
        m_server->reply(CannedServer::response(200, R"({"token":"second"})"));
        SignIn first;
        watch(m_service->signIn(), &first);
        const QString stale = state();
        // A new sign-in cancels the pending one.
        start(*m_service);
        QTRY_VERIFY(first.has_value());
        QCOMPARE(first->error, cancelled);
        QVERIFY(stale != state());
        QVERIFY(item(m_opened[0], "challenge") != item(m_opened[1], "challenge"));

        // The first sign-in's state, and callbacks that are not this sign-in's, open nothing.
        for (const QUrl &url : {callback(stale), callback("other"), callback(QString()),
                                callback(""), QUrl("https://oauth/?state=" + state() + "&code=x")})
            m_service->completeAuthentication(url);
        QTest::qWait(50);
        QVERIFY(!m_signIn);
        QCOMPARE(m_server->requests().size(), 0);
        finishWith(callback(state()));
        QCOMPARE(m_service->token(), std::optional<QString>("second"));
    }

    void cancelTimerAndBrowserFailureEndItOnce()
    {
        start(*m_service);
        m_service->cancelSignIn();
        m_service->cancelSignIn(); // a second cancel finds nothing to end
        QTRY_VERIFY(m_signIn.has_value());
        QCOMPARE(m_signIn->error, cancelled);

        m_service->setSignInTimeout(std::chrono::milliseconds(100));
        start(*m_service);
        QTRY_VERIFY(m_signIn.has_value());
        QCOMPARE(m_signIn->error, cancelled);
        m_service->completeAuthentication(callback(state())); // too late

        m_browserWorks = false;
        start(*m_service);
        QTRY_VERIFY(m_signIn.has_value());
        QCOMPARE(m_signIn->error, cancelled);
        QTest::qWait(50);
        QCOMPARE(m_server->requests().size(), 0);
        QVERIFY(!m_service->token());
    }

    void badCallbacksAndAnswersStoreNothing_data()
    {
        QTest::addColumn<QString>("code");      // null: none in the callback
        QTest::addColumn<QByteArray>("answer"); // to the exchange; empty: no exchange
        QTest::addColumn<bool>("keychainRefuses");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("no code") << QString() << QByteArray() << false << 0 << invalid;
        QTest::newRow("empty token") << "c" << CannedServer::response(200, R"({"token":""})")
                                     << false << 0 << "Sesión inválida";
        QTest::newRow("refused exchange")
            << "c" << CannedServer::response(400, R"({"error":"código vencido"})") << false << 400
            << "No se pudo completar la operación (400): código vencido";
        QTest::newRow("keychain refuses")
            << "c" << CannedServer::response(200, R"({"token":"t"})") << true << 0
            << "No se pudo guardar la sesión en el llavero.";
    }

    void badCallbacksAndAnswersStoreNothing()
    {
        QFETCH(QString, code);
        QFETCH(QByteArray, answer);
        QFETCH(bool, keychainRefuses);
        QFETCH(int, status);
        QFETCH(QString, message);
        m_secrets->setRefusingStores(keychainRefuses);
        if (!answer.isEmpty())
            m_server->reply(answer);
        start(*m_service);
        const QString pending = state();
        finishWith(callback(pending, code));
        QVERIFY(m_signIn->serviceError);
        QCOMPARE(m_signIn->serviceError->status(), status);
        QCOMPARE(m_signIn->error, message);
        QCOMPARE(m_secrets->size(), 0u);
        QVERIFY(!m_service->token());

        // The pending state is gone: the same state with a code does nothing now.
        const qsizetype exchanges = m_server->requests().size();
        QCOMPARE(exchanges, answer.isEmpty() ? 0 : 1);
        m_service->completeAuthentication(callback(pending));
        QTest::qWait(50);
        QCOMPARE(m_server->requests().size(), exchanges);
    }

    void theSessionLivesInTheRealKeyring()
    {
        QByteArray skipReason;
        const auto keyring = privateKeyring(skipReason);
        if (!keyring)
            QSKIP(skipReason.constData());
        Vault::clear(*keyring);
        {
            const auto first = serviceOn(*keyring);
            QVERIFY(!first->token());
            m_server->reply(CannedServer::response(200, R"({"token":"llavero-ñ-😀"})"));
            start(*first);
            finishWith(callback(state()), first.get());
            QVERIFY(m_signIn->ok());
        }
        // A restart: the new service starts signed in.
        QCOMPARE(serviceOn(*keyring)->token(), std::optional<QString>("llavero-ñ-😀"));

        // Signing out with the server gone still forgets the session for good.
        Service offline(*keyring, QUrl(QStringLiteral("https://localhost:1")), {});
        QVERIFY(finish(offline.logout()).ok());
        QVERIFY(!serviceOn(*keyring)->token());
    }

private:
    std::unique_ptr<Service> serviceOn(SecretStore &secrets)
    {
        auto service = std::make_unique<Service>(
            secrets, m_server->origin(), QSslCertificate::fromPath(m_certificates.caFile()));
        service->setBrowser([this](const QUrl &url) {
            m_opened.append(url);
            return m_browserWorks;
        });
        return service;
    }

    void start(Service &service)
    {
        m_signIn.reset();
        watch(service.signIn(), &m_signIn);
    }

    // Answers the last sign-in's callback and waits for it to end.
    void finishWith(const QUrl &url, Service *service = nullptr)
    {
        (service ? service : m_service.get())->completeAuthentication(url);
        QTRY_VERIFY_WITH_TIMEOUT(m_signIn.has_value(), 10000);
    }

    QString state() const { return item(m_opened.last(), "app_state"); }

    ReferenceServer m_certificates; // only lends its localhost certificate to the canned server
    std::unique_ptr<CannedServer> m_server;
    std::unique_ptr<MemorySecretStore> m_secrets;
    std::unique_ptr<Service> m_service;
    QList<QUrl> m_opened;
    bool m_browserWorks = true;
    SignIn m_signIn;
};

QTEST_GUILESS_MAIN(SignInTest)
#include "tst_signin.moc"
