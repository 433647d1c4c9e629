// Signing in on the reference server as the desktop client and a browser do: the sign-in page,
// the redirect to the application with a one-time code, and the exchange of that code for a
// session, over verified TLS against the real executable.
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <thread>
#include <vector>

using quorvale::JSON;
using quorvale::test::HttpsClient;
using quorvale::test::HttpsReply;
using quorvale::test::readAll;
using quorvale::test::ReferenceServer;
using quorvale::test::str;

namespace {

constexpr int timeoutMs = 15000;

HttpsReply exchange(HttpsClient &client, const QString &code, const QString &verifier)
{
    return client.post(
        "/auth/native/exchange", {},
        JSON::object({{"code", code.toStdString()}, {"verifier", verifier.toStdString()}}));
}

HttpsReply postForm(HttpsClient &client, const QByteArray &body)
{
    return client.send("POST", "/auth/login", {}, body.toStdString(),
                       "application/x-www-form-urlencoded");
}

QByteArray formOf(const QList<std::pair<QString, QString>> &fields)
{
    QByteArray body;
    for (const auto &[key, value] : fields)
        body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + '=' +
                QUrl::toPercentEncoding(value);
    return body;
}

// The path and query of a URL, encoded as a browser sends them.
std::string target(const QUrl &url)
{
    return url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority).toStdString();
}

QString textOf(const HttpsReply &reply)
{
    return QString::fromStdString(reply.body);
}

QString base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// What the client makes for each sign-in: 32 random bytes each, the challenge by S256.
struct ProofKey
{
    QString verifier;
    QString challenge;
    QString state;

    static ProofKey make()
    {
        const auto random32 = [] {
            QByteArray bytes(32, '\0');
            QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 8);
            return base64Url(bytes);
        };
        ProofKey key;
        key.verifier = random32();
        key.state = random32();
        key.challenge =
            base64Url(QCryptographicHash::hash(key.verifier.toUtf8(), QCryptographicHash::Sha256));
        return key;
    }
};

struct SignIn
{
    ProofKey key;
    QUrl callback;
    QString code;
    QString error;
};

QString queryValue(const QUrl &url, const char *name)
{
    return QUrlQuery(url).queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

// A query on the server's database through the sqlite3 tool.
QString sql(const ReferenceServer &server, const QString &statement)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(QStringLiteral("sqlite3"),
               {server.dataDir() + QStringLiteral("/quorvale.sqlite3"), statement});
    if (!tool.waitForFinished(timeoutMs) || tool.exitCode() != 0)
        return QStringLiteral("sqlite3 failed");
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

} // namespace

class SignInServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // First, while the server has no account yet.
    void firstSignInMakesTheAdministratorAndLaterOnesWait();

    // The page.
    void loginPageIsASelfContainedForm();
    void hostileStatesAreEscapedAndComeBackIntact();
    void linksThatCannotLeadToASignInAreRefused_data();
    void linksThatCannotLeadToASignInAreRefused();
    void typingMistakesShowTheFormAgain_data();
    void typingMistakesShowTheFormAgain();

    // Accounts.
    void signingInAgainFindsTheSameAccountWhateverItsStatus();

    // Codes.
    void codesAreOneTimeAndBoundToTheChallenge();
    void concurrentExchangesOfOneCodeHaveOneWinner();
    void malformedExchangesAreRefused();
    void expiredCodesAreRefusedAndSwept();
    void dataDirectoriesFromBeforeSignInAndImportsGainThem();

private:
    SignIn signIn(const QString &name, const QString &email, ReferenceServer *server = nullptr);
    std::string tokenFor(const SignIn &signIn);
    JSON accountOf(const std::string &token)
    {
        return m_client->get("/auth/me", token).json()["account"];
    }
    int accountCount()
    {
        return sql(m_server, QStringLiteral("SELECT count(*) FROM accounts")).toInt();
    }

    ReferenceServer m_server;
    std::unique_ptr<HttpsClient> m_client;
    QString m_adminEmail = QStringLiteral("ada@example.com");
    // The answer to every refused exchange of a code.
    JSON m_refusedCode;
};

void SignInServerTest::initTestCase()
{
    QVERIFY(m_server.start());
    m_client = std::make_unique<HttpsClient>(m_server);
}

void SignInServerTest::cleanupTestCase()
{
    m_client.reset();
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
}

SignIn SignInServerTest::signIn(const QString &name, const QString &email, ReferenceServer *server)
{
    ReferenceServer &on = server ? *server : m_server;
    SignIn result;
    result.key = ProofKey::make();
    result.callback = on.signInWithBrowser(on.loginUrl(result.key.challenge, result.key.state),
                                           name, email, &result.error);
    result.code = queryValue(result.callback, "code");
    return result;
}

std::string SignInServerTest::tokenFor(const SignIn &signIn)
{
    const HttpsReply reply = exchange(*m_client, signIn.code, signIn.key.verifier);
    return reply.status == 200 ? std::string(reply.json()["token"].stringValue()) : std::string();
}

void SignInServerTest::firstSignInMakesTheAdministratorAndLaterOnesWait()
{
    const SignIn first = signIn(QStringLiteral("Ada Lovelace"), m_adminEmail);
    QVERIFY2(first.callback.isValid(), qPrintable(first.error));
    QCOMPARE(first.callback.scheme(), QStringLiteral("mx.qvl.quorvale"));
    QCOMPARE(first.callback.host(), QStringLiteral("oauth"));
    QCOMPARE(queryValue(first.callback, "state"), first.key.state);
    const JSON admin = accountOf(tokenFor(first));
    QCOMPARE(str(admin["name"].stringValue()), "Ada Lovelace");
    QCOMPARE(str(admin["status"].stringValue()), "approved");
    QCOMPARE(str(admin["role"].stringValue()), "admin");
    QVERIFY(QDir(m_server.dataDir() + QStringLiteral("/mail")).isEmpty());

    // The next account waits for approval, and the administrator hears of it.
    const SignIn second =
        signIn(QStringLiteral("Grace Hopper"), QStringLiteral("grace@example.com"));
    QVERIFY2(second.callback.isValid(), qPrintable(second.error));
    const JSON user = accountOf(tokenFor(second));
    QCOMPARE(str(user["status"].stringValue()), "pending");
    QCOMPARE(str(user["role"].stringValue()), "user");

    const QDir spool(m_server.dataDir() + QStringLiteral("/mail"));
    const QStringList mails = spool.entryList({QStringLiteral("*.eml")}, QDir::Files);
    QCOMPARE(mails.size(), 1);
    const QString mail = QString::fromUtf8(readAll(spool.filePath(mails[0])));
    QVERIFY(mail.contains(QStringLiteral("\r\nTo: ") + m_adminEmail));
    QVERIFY(mail.contains(QString::fromUtf8(str(user["id"].stringValue()))));
}

void SignInServerTest::loginPageIsASelfContainedForm()
{
    const ProofKey key = ProofKey::make();
    const HttpsReply page = m_client->get(target(m_server.loginUrl(key.challenge, key.state)));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.header("content-type"), "text/html; charset=utf-8");
    QCOMPARE(page.header("x-frame-options"), "DENY");
    QCOMPARE(page.header("cache-control"), "no-store");

    const QString html = textOf(page);
    QVERIFY(html.contains(QStringLiteral("<form method=\"post\" action=\"/auth/login\">")));
    QVERIFY(html.contains(QStringLiteral("name=\"challenge\" value=\"") + key.challenge + '"'));
    QVERIFY(html.contains(QStringLiteral("name=\"app_state\" value=\"") + key.state + '"'));

    // Nothing is loaded from anywhere, and nothing runs.
    for (const char *outside : {"<script", "src=", "http:", "https:", "url(", "@import", " on"})
        QVERIFY2(!html.contains(QLatin1String(outside), Qt::CaseInsensitive), outside);

    // The policy allows no script, and of styles only the page's own, by its hash.
    const QString policy = QString::fromStdString(page.header("content-security-policy"));
    QVERIFY(policy.contains(QStringLiteral("default-src 'none'")));
    QVERIFY(!policy.contains(QStringLiteral("script-src")));
    QVERIFY(!policy.contains(QStringLiteral("unsafe")));
    QVERIFY(policy.contains(QStringLiteral("frame-ancestors 'none'")));
    static const QRegularExpression styleElement(QStringLiteral("<style>([^<]*)</style>"));
    const auto style = styleElement.match(html);
    QVERIFY(style.hasMatch());
    const QString styleHash = QString::fromLatin1(
        QCryptographicHash::hash(style.captured(1).toUtf8(), QCryptographicHash::Sha256)
            .toBase64());
    QVERIFY2(policy.contains(QStringLiteral("style-src 'sha256-") + styleHash + '\''),
             qPrintable(policy));
    // The form may go on to the application after its redirect.
    QVERIFY(policy.contains(QStringLiteral("form-action 'self' mx.qvl.quorvale:")));
}

void SignInServerTest::hostileStatesAreEscapedAndComeBackIntact()
{
    ProofKey key = ProofKey::make();
    key.state = QStringLiteral("\"><script>alert('x')</script>&amp; +%20ü");
    const HttpsReply page = m_client->get(target(m_server.loginUrl(key.challenge, key.state)));
    QCOMPARE(page.status, 200);
    QVERIFY(!textOf(page).contains(QStringLiteral("<script")));
    QVERIFY(textOf(page).contains(
        QStringLiteral("value=\"&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"
                       "&amp;amp; +%20ü\"")));

    // Posted back by a browser, the state reaches the application exactly as it left.
    QString error;
    const QUrl callback = m_server.signInWithBrowser(m_server.loginUrl(key.challenge, key.state),
                                                     QStringLiteral("Ada"), m_adminEmail, &error);
    QVERIFY2(callback.isValid(), qPrintable(error));
    QCOMPARE(queryValue(callback, "state"), key.state);
    QCOMPARE(QUrlQuery(callback).queryItems().size(), 2);

    // The redirect also carries a page with the same link, for browsers that stay behind.
    const HttpsReply redirect =
        postForm(*m_client, formOf({{QStringLiteral("challenge"), key.challenge},
                                    {QStringLiteral("app_state"), key.state},
                                    {QStringLiteral("name"), QStringLiteral("Ada")},
                                    {QStringLiteral("email"), m_adminEmail}}));
    QCOMPARE(redirect.status, 302);
    QCOMPARE(redirect.header("x-frame-options"), "DENY");
    QCOMPARE(redirect.header("cache-control"), "no-store");
    const QByteArray location = QByteArray::fromStdString(redirect.header("location"));
    QVERIFY(location.startsWith("mx.qvl.quorvale://oauth?state=%22%3E%3Cscript%3E"));
    QVERIFY(QByteArray::fromStdString(redirect.body)
                .contains("<a href=\"" + QByteArray(location).replace('&', "&amp;") + "\">"));
}

void SignInServerTest::linksThatCannotLeadToASignInAreRefused_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("challenge"); // "-" leaves the field out
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("contentType");
    const QString good = ProofKey::make().challenge;
    const QByteArray form = "application/x-www-form-urlencoded";
    const QString no = QStringLiteral("-");
    const QString s = QStringLiteral("state");
    QTest::newRow("no challenge") << "GET" << no << s << QByteArray();
    QTest::newRow("42 characters") << "GET" << good.left(42) << s << QByteArray();
    QTest::newRow("44 characters") << "GET" << good + QLatin1Char('A') << s << QByteArray();
    QTest::newRow("plain base64") << "GET" << good.left(42) + QLatin1Char('/') << s << QByteArray();
    QTest::newRow("not ascii") << "GET" << good.left(42) + QStringLiteral("é") << s << QByteArray();
    QTest::newRow("no state") << "GET" << good << no << QByteArray();
    QTest::newRow("empty state") << "GET" << good << QString() << QByteArray();
    QTest::newRow("state with a line break") << "GET" << good << "a\nb" << QByteArray();
    QTest::newRow("state over 1 KiB")
        << "GET" << good << QString(1025, QLatin1Char('s')) << QByteArray();
    QTest::newRow("posted bad challenge") << "POST" << good.left(40) << s << form;
    QTest::newRow("posted without state") << "POST" << good << no << form;
    QTest::newRow("posted as JSON") << "POST" << good << s << QByteArray("application/json");
}

void SignInServerTest::linksThatCannotLeadToASignInAreRefused()
{
    QFETCH(QString, method);
    QFETCH(QString, challenge);
    QFETCH(QString, state);
    QFETCH(QByteArray, contentType);
    QList<std::pair<QString, QString>> fields;
    if (challenge != QLatin1String("-"))
        fields << std::pair{QStringLiteral("challenge"), challenge};
    if (state != QLatin1String("-"))
        fields << std::pair{QStringLiteral("app_state"), state};
    fields << std::pair{QStringLiteral("name"), QStringLiteral("Mallory")}
           << std::pair{QStringLiteral("email"), QStringLiteral("mallory@example.com")};
    const QByteArray query = formOf(fields);
    const int before = accountCount();

    const HttpsReply reply = method == QLatin1String("GET")
                                 ? m_client->get("/auth/login?" + query.toStdString())
                                 : m_client->send("POST", "/auth/login", {}, query.toStdString(),
                                                  contentType.toStdString());
    QCOMPARE(reply.status, 400);
    QCOMPARE(reply.header("content-type"), "text/html; charset=utf-8");
    QVERIFY(textOf(reply).contains(QStringLiteral("class=\"error\"")));
    QVERIFY(!textOf(reply).contains(QStringLiteral("<form")));
    QVERIFY(reply.header("location").empty());
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::typingMistakesShowTheFormAgain_data()
{
    QTest::addColumn<QByteArray>("name"); // bytes, as a crafted request may send them
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<QString>("message");
    const QByteArray someone = "someone@example.com";
    QTest::newRow("blank name") << QByteArray("   ") << someone << "nombre";
    QTest::newRow("name with a line break")
        << QByteArray("Eve\r\nBcc: all@example.com") << someone << "nombre";
    QTest::newRow("name over 200 bytes") << QByteArray(201, 'n') << someone << "nombre";
    QTest::newRow("name not UTF-8") << QByteArray("Jos\xe9") << someone << "nombre";
    QTest::newRow("no e-mail") << QByteArray("Someone") << QByteArray() << "correo";
    QTest::newRow("two at signs") << QByteArray("Someone") << QByteArray("a@b@example.com")
                                  << "correo válido";
    QTest::newRow("header injection")
        << QByteArray("Eve") << QByteArray("eve@example.com\r\nBcc: all@example.com")
        << "correo válido";
    QTest::newRow("angle brackets")
        << QByteArray("Eve <b>\"x\"</b>") << QByteArray("<eve@example.com>") << "correo válido";
    QTest::newRow("over 254 bytes")
        << QByteArray("Long") << QByteArray(250, 'l') + QByteArray("@x.io") << "correo válido";
}

void SignInServerTest::typingMistakesShowTheFormAgain()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, email);
    QFETCH(QString, message);
    const ProofKey key = ProofKey::make();
    const int before = accountCount();

    const HttpsReply reply = postForm(
        *m_client, "challenge=" + key.challenge.toLatin1() + "&app_state=" + key.state.toLatin1() +
                       "&name=" + name.toPercentEncoding() + "&email=" + email.toPercentEncoding());
    QCOMPARE(reply.status, 400);
    QVERIFY(reply.header("location").empty());
    const QByteArray html = QByteArray::fromStdString(reply.body);
    static const QRegularExpression errorParagraph(
        QStringLiteral("<p class=\"error\" role=\"alert\">([^<]+)</p>"));
    const auto error = errorParagraph.match(QString::fromUtf8(html));
    QVERIFY(error.hasMatch());
    QVERIFY2(error.captured(1).contains(message, Qt::CaseInsensitive),
             qPrintable(error.captured(1)));

    // The form comes back whole, carrying the link's fields and what was typed, escaped.
    QVERIFY(html.contains("name=\"challenge\" value=\"" + key.challenge.toLatin1() + '"'));
    QVERIFY(html.contains("name=\"app_state\" value=\"" + key.state.toLatin1() + '"'));
    const auto escaped = [](QByteArray text) {
        return "value=\"" +
               text.trimmed()
                   .replace('&', "&amp;")
                   .replace('<', "&lt;")
                   .replace('>', "&gt;")
                   .replace('"', "&quot;") +
               '"';
    };
    QVERIFY(html.contains(escaped(name)));
    QVERIFY(html.contains(escaped(email)));
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::signingInAgainFindsTheSameAccountWhateverItsStatus()
{
    const QStringList mailsBefore =
        QDir(m_server.dataDir() + QStringLiteral("/mail")).entryList(QDir::Files);
    const JSON account = accountOf(
        tokenFor(signIn(QStringLiteral("Someone Else"), QStringLiteral("  Grace@EXAMPLE.com "))));
    QCOMPARE(str(account["email"].stringValue()), "grace@example.com");
    // The name of an account is the one it was made with.
    QCOMPARE(str(account["name"].stringValue()), "Grace Hopper");

    // Accounts the operator made sign in the same way.
    const QString id = m_server.addAccount(QStringLiteral("Linus@Example.com"));
    QVERIFY(!id.isEmpty());
    const std::string linus =
        tokenFor(signIn(QStringLiteral("Linus"), QStringLiteral("linus@example.COM")));
    QCOMPARE(str(accountOf(linus)["id"].stringValue()), id.toUtf8());
    // Signing in again announces nothing; only the operator's new account was announced.
    QCOMPARE(QDir(m_server.dataDir() + QStringLiteral("/mail")).entryList(QDir::Files).size(),
             mailsBefore.size() + 1);

    // A blocked account still gets a session: the application learns the status from it.
    QVERIFY(m_server.setStatus(id, QStringLiteral("blocked")));
    const std::string again =
        tokenFor(signIn(QStringLiteral("Linus"), QStringLiteral("linus@example.com")));
    QCOMPARE(str(accountOf(again)["status"].stringValue()), "blocked");
}

void SignInServerTest::codesAreOneTimeAndBoundToTheChallenge()
{
    const QString email = QStringLiteral("codes@example.com");

    // A wrong verifier is refused and uses the code up.
    const SignIn stolen = signIn(QStringLiteral("Codes"), email);
    QVERIFY2(!stolen.code.isEmpty(), qPrintable(stolen.error));
    const HttpsReply wrong = exchange(*m_client, stolen.code, ProofKey::make().verifier);
    QCOMPARE(wrong.status, 400);
    m_refusedCode = wrong.json();
    QVERIFY(wrong.isRefusal());
    const HttpsReply afterWrong = exchange(*m_client, stolen.code, stolen.key.verifier);
    QCOMPARE(afterWrong.status, 400);
    QCOMPARE(afterWrong.json(), m_refusedCode);

    // So does an attempt without a verifier.
    const SignIn bare = signIn(QStringLiteral("Codes"), email);
    QCOMPARE(
        m_client
            ->post("/auth/native/exchange", {}, JSON::object({{"code", bare.code.toStdString()}}))
            .status,
        400);
    QCOMPARE(exchange(*m_client, bare.code, bare.key.verifier).status, 400);

    // The right verifier works once; the token is a session of the account.
    const SignIn good = signIn(QStringLiteral("Codes"), email);
    const HttpsReply exchanged = exchange(*m_client, good.code, good.key.verifier);
    QCOMPARE(exchanged.status, 200);
    const std::string token(exchanged.json()["token"].stringValue());
    QVERIFY(token.size() >= 43);
    QCOMPARE(str(accountOf(token)["email"].stringValue()), email.toUtf8());
    const HttpsReply replayed = exchange(*m_client, good.code, good.key.verifier);
    QCOMPARE(replayed.status, 400);
    QCOMPARE(replayed.json(), m_refusedCode);

    // An unknown code, and a verifier of another sign-in, get the same answer.
    QCOMPARE(exchange(*m_client, ProofKey::make().state, good.key.verifier).json(), m_refusedCode);
    const SignIn other = signIn(QStringLiteral("Codes"), email);
    QCOMPARE(exchange(*m_client, other.code, good.key.verifier).json(), m_refusedCode);

    // Codes and tokens are kept only as hashes, and the log holds neither.
    QByteArray stored;
    for (const char *file : {"quorvale.sqlite3", "quorvale.sqlite3-wal", "access.log"})
        stored += readAll(m_server.dataDir() + QLatin1Char('/') + QLatin1String(file));
    QVERIFY(!stored.isEmpty());
    for (const QString &secret : {good.code, other.code, QString::fromStdString(token)})
        QVERIFY(!stored.contains(secret.toLatin1()));
}

void SignInServerTest::concurrentExchangesOfOneCodeHaveOneWinner()
{
    const SignIn raced = signIn(QStringLiteral("Race"), QStringLiteral("race@example.com"));
    QVERIFY2(!raced.code.isEmpty(), qPrintable(raced.error));
    std::vector<int> statuses(6);
    std::vector<std::thread> threads;
    for (int &status : statuses) {
        threads.emplace_back([&] {
            HttpsClient client(m_server);
            status = exchange(client, raced.code, raced.key.verifier).status;
        });
    }
    for (auto &thread : threads)
        thread.join();
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 200), 1);
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 400), 5);
}

void SignInServerTest::malformedExchangesAreRefused()
{
    for (const char *body :
         {"", "code=a&verifier=b", "[\"a\",\"b\"]", "{\"verifier\":\"v\"}",
          "{\"code\":1,\"verifier\":\"v\"}", "{\"code\":\"c\",\"verifier\":[]}"}) {
        const HttpsReply reply = m_client->send("POST", "/auth/native/exchange", {}, body);
        QVERIFY2(reply.status == 400 && reply.isRefusal(), body);
    }
}

void SignInServerTest::expiredCodesAreRefusedAndSwept()
{
    // The lifetime is an option of serve, refused out of its range.
    for (const char *bad : {"-1", "3601", "5s"}) {
        QProcess serve;
        serve.start(ReferenceServer::executable(),
                    {QStringLiteral("--data"), m_server.dataDir(), QStringLiteral("serve"),
                     QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--code-ttl"),
                     QLatin1String(bad)});
        QVERIFY(serve.waitForFinished(timeoutMs));
        QVERIFY2(serve.exitCode() == 2, bad);
    }

    // With a lifetime of 0 every code has expired by the time it is exchanged.
    ReferenceServer server;
    server.setServeOptions({QStringLiteral("--code-ttl"), QStringLiteral("0")});
    QVERIFY(server.start());
    HttpsClient client(server);
    const SignIn first = signIn(QStringLiteral("Ada"), m_adminEmail, &server);
    QVERIFY2(!first.code.isEmpty(), qPrintable(first.error));
    const SignIn second = signIn(QStringLiteral("Ada"), m_adminEmail, &server);
    // Making the second code removed the first, which had expired.
    QCOMPARE(sql(server, QStringLiteral("SELECT count(*) FROM sign_in_codes")),
             QStringLiteral("1"));
    for (const SignIn *expired : {&second, &first}) {
        const HttpsReply refused = exchange(client, expired->code, expired->key.verifier);
        QCOMPARE(refused.status, 400);
        QCOMPARE(refused.json(), m_refusedCode);
    }
    QCOMPARE(sql(server, QStringLiteral("SELECT count(*) FROM sign_in_codes")),
             QStringLiteral("0"));
}

void SignInServerTest::dataDirectoriesFromBeforeSignInAndImportsGainThem()
{
    // A data directory whose database predates sign-in codes.
    ReferenceServer server;
    const QString id = server.addAccount(QStringLiteral("early@example.com"));
    QVERIFY(!id.isEmpty());
    const QString latest = sql(server, QStringLiteral("PRAGMA user_version"));
    QCOMPARE(
        sql(server,
            QStringLiteral(
                "DROP TABLE sign_in_codes; DROP TABLE notion_files; DROP TABLE transcriptions; "
                "DROP TABLE notion_layouts; PRAGMA user_version = 1; "
                "PRAGMA user_version")),
        QStringLiteral("1"));

    QVERIFY(server.start());
    HttpsClient client(server);
    const SignIn early =
        signIn(QStringLiteral("Early"), QStringLiteral("early@example.com"), &server);
    QVERIFY2(!early.code.isEmpty(), qPrintable(early.error));
    const HttpsReply exchanged = exchange(client, early.code, early.key.verifier);
    QCOMPARE(exchanged.status, 200);
    const std::string token(exchanged.json()["token"].stringValue());
    QCOMPARE(str(client.get("/auth/me", token).json()["account"]["id"].stringValue()), id.toUtf8());
    // So do imported files.
    QVERIFY(!server.addNotionFile(id, QStringLiteral("b"), QStringLiteral("a.pem"), server.caFile())
                 .isEmpty());
    QCOMPARE(sql(server, QStringLiteral("PRAGMA user_version")), latest);
}

QTEST_GUILESS_MAIN(SignInServerTest)
#include "tst_signin_server.moc"
