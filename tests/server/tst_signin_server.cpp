// Signing in on the reference server as the desktop client and a browser do: the sign-in page,
// the redirect to the application with a one-time code, and the exchange of that code for a
// session, over verified TLS against the real executable.
#include "support/servertesting.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QUrlQuery>

#include <memory>

using namespace quorvale::test;
using quorvale::JSON;

namespace {

HttpsReply exchange(HttpsClient &client, const QString &code, const QString &verifier)
{
    return client.post(
        "/auth/native/exchange", {},
        JSON::object({{"code", code.toStdString()}, {"verifier", verifier.toStdString()}}));
}

QByteArray formOf(const QList<std::pair<QString, QString>> &fields)
{
    QByteArray body;
    for (const auto &[key, value] : fields)
        body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + '=' +
                QUrl::toPercentEncoding(value);
    return body;
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
        ProofKey key{random32(), {}, random32()};
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
    return QUrlQuery(url).queryItemValue(name, QUrl::FullyDecoded);
}

// A query on the server's database through the sqlite3 tool.
QString sql(const ReferenceServer &server, const QString &statement)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start("sqlite3", {server.dataDir() + "/quorvale.sqlite3", statement});
    if (!tool.waitForFinished(15000) || tool.exitCode() != 0)
        return "sqlite3 failed";
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

} // namespace

class SignInServerTest : public QObject, ServerSuite
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
    void expiredCodesAreRefusedAndSwept();
    void dataDirectoriesFromBeforeSignInAndImportsGainThem();

private:
    SignIn signIn(const QString &name, const QString &email, ReferenceServer *server = nullptr);
    std::string tokenFor(const SignIn &signIn);
    JSON accountOf(const std::string &token)
    {
        return m_client->get("/auth/me", token).json()["account"];
    }
    std::string loginPath(const ProofKey &key) const
    {
        const QUrl url = m_server.loginUrl(key.challenge, key.state);
        return url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority).toStdString();
    }
    int accountCount() { return sql(m_server, "SELECT count(*) FROM accounts").toInt(); }
    QStringList mails() const { return QDir(m_server.dataDir() + "/mail").entryList(QDir::Files); }

    QString m_adminEmail = "ada@example.com";
    // The answer to every refused exchange of a code.
    JSON m_refusedCode;
};

void SignInServerTest::initTestCase()
{
    QVERIFY(startServer());
}

void SignInServerTest::cleanupTestCase()
{
    QVERIFY(stopServer());
}

SignIn SignInServerTest::signIn(const QString &name, const QString &email, ReferenceServer *server)
{
    ReferenceServer &on = server ? *server : m_server;
    SignIn result{ProofKey::make(), {}, {}, {}};
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
    const SignIn first = signIn("Ada Lovelace", m_adminEmail);
    QVERIFY2(first.callback.isValid(), qPrintable(first.error));
    QCOMPARE(queryValue(first.callback, "state"), first.key.state);
    const JSON admin = accountOf(tokenFor(first));
    QCOMPARE(str(admin["name"].stringValue()), "Ada Lovelace");
    QCOMPARE(standing(admin), "approved/admin");
    QVERIFY(mails().isEmpty());

    // The next account waits for approval, and the administrator hears of it.
    const JSON user = accountOf(tokenFor(signIn("Grace Hopper", "grace@example.com")));
    QCOMPARE(standing(user), "pending/user");
    QCOMPARE(mails().size(), 1);
    const QString mail = QString::fromUtf8(readAll(m_server.dataDir() + "/mail/" + mails()[0]));
    QVERIFY(mail.contains("\r\nTo: " + m_adminEmail));
    QVERIFY(mail.contains(QString::fromUtf8(str(user.id()))));
}

void SignInServerTest::loginPageIsASelfContainedForm()
{
    const ProofKey key = ProofKey::make();
    const HttpsReply page = m_client->get(loginPath(key));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.header("x-frame-options"), "DENY");
    QCOMPARE(page.header("cache-control"), "no-store");

    // Nothing is loaded from anywhere, and nothing runs.
    const QString html = QString::fromStdString(page.body);
    for (const char *outside : {"<script", "src=", "http:", "https:", "url(", "@import", " on"})
        QVERIFY2(!html.contains(QLatin1String(outside), Qt::CaseInsensitive), outside);

    // The policy allows no script, and of styles only the page's own, by its hash.
    const QString policy = QString::fromStdString(page.header("content-security-policy"));
    QVERIFY(policy.contains("default-src 'none'"));
    QVERIFY(!policy.contains("script-src") && !policy.contains("unsafe"));
    static const QRegularExpression styleElement("<style>([^<]*)</style>");
    const auto style = styleElement.match(html);
    QVERIFY(style.hasMatch());
    const QString styleHash = QString::fromLatin1(
        QCryptographicHash::hash(style.captured(1).toUtf8(), QCryptographicHash::Sha256)
            .toBase64());
    QVERIFY2(policy.contains("style-src 'sha256-" + styleHash + '\''), qPrintable(policy));
    // The form may go on to the application after its redirect.
    QVERIFY(policy.contains("form-action 'self' mx.qvl.quorvale:"));
}

void SignInServerTest::hostileStatesAreEscapedAndComeBackIntact()
{
    ProofKey key = ProofKey::make();
    key.state = "\"><script>alert('x')</script>&amp; +%20ü";
    const std::string page = m_client->get(loginPath(key)).body;
    QVERIFY(QString::fromStdString(page).contains(
        "value=\"&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;amp; +%20ü\""));
    QVERIFY(page.find("<script") == std::string::npos);

    // Posted back by a browser, the state reaches the application exactly as it left.
    QString error;
    const QUrl callback = m_server.signInWithBrowser(m_server.loginUrl(key.challenge, key.state),
                                                     "Ada", m_adminEmail, &error);
    QVERIFY2(callback.isValid(), qPrintable(error));
    QCOMPARE(queryValue(callback, "state"), key.state);
}

void SignInServerTest::linksThatCannotLeadToASignInAreRefused_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("challenge"); // "-" leaves the field out
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("contentType");
    const auto row = [](const char *name, const char *method, const QString &challenge,
                        const QString &state, const QByteArray &type = {}) {
        QTest::newRow(name) << QString(method) << challenge << state << type;
    };
    const QString good = ProofKey::make().challenge;
    row("no challenge", "GET", "-", "s");
    row("42 characters", "GET", good.left(42), "s");
    row("plain base64", "GET", good.left(42) + '/', "s");
    row("empty state", "GET", good, QString());
    row("state over 1 KiB", "GET", good, QString(1025, 's'));
    row("posted bad challenge", "POST", good.left(40), "s", "application/x-www-form-urlencoded");
    row("posted as JSON", "POST", good, "s", "application/json");
}

void SignInServerTest::linksThatCannotLeadToASignInAreRefused()
{
    QFETCH(QString, method);
    QFETCH(QString, challenge);
    QFETCH(QString, state);
    QFETCH(QByteArray, contentType);
    QList<std::pair<QString, QString>> fields{
        {"app_state", state}, {"name", "Mallory"}, {"email", "mallory@example.com"}};
    if (challenge != "-")
        fields << std::pair<QString, QString>{"challenge", challenge};
    const std::string query = formOf(fields).toStdString();
    const int before = accountCount();

    const HttpsReply reply = method == "GET" ? m_client->get("/auth/login?" + query)
                                             : m_client->send("POST", "/auth/login", {}, query,
                                                              contentType.toStdString());
    QCOMPARE(reply.status, 400);
    QVERIFY(reply.body.find("class=\"error\"") != std::string::npos);
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::typingMistakesShowTheFormAgain_data()
{
    QTest::addColumn<QByteArray>("name"); // bytes, as a crafted request may send them
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QByteArray &typedName, const QByteArray &email,
                        const char *message) {
        QTest::newRow(name) << typedName << email << QString(message);
    };
    const QByteArray someone = "someone@example.com";
    row("name with a line break", "Eve\r\nBcc: all@example.com", someone, "nombre");
    row("name not UTF-8", "Jos\xe9", someone, "nombre");
    row("header injection", "Eve", "eve@example.com\r\nBcc: all@example.com", "correo válido");
    row("angle brackets", "Eve <b>\"x\"</b>", "<eve@example.com>", "correo válido");
    row("over 254 bytes", "Long", QByteArray(250, 'l') + "@x.io", "correo válido");
}

void SignInServerTest::typingMistakesShowTheFormAgain()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, email);
    QFETCH(QString, message);
    const ProofKey key = ProofKey::make();
    const int before = accountCount();

    const QByteArray form =
        "challenge=" + key.challenge.toLatin1() + "&app_state=" + key.state.toLatin1() +
        "&name=" + name.toPercentEncoding() + "&email=" + email.toPercentEncoding();
    const HttpsReply reply = m_client->send("POST", "/auth/login", {}, form.toStdString(),
                                            "application/x-www-form-urlencoded");
    QCOMPARE(reply.status, 400);
    const QByteArray html = QByteArray::fromStdString(reply.body);
    static const QRegularExpression errorParagraph("<p class=\"error\" role=\"alert\">([^<]+)</p>");
    const auto error = errorParagraph.match(QString::fromUtf8(html));
    QVERIFY2(error.captured(1).contains(message, Qt::CaseInsensitive), html.constData());

    // The form comes back whole, carrying the link's fields and what was typed, escaped.
    QVERIFY(html.contains("name=\"challenge\" value=\"" + key.challenge.toLatin1() + '"'));
    QVERIFY(html.contains("name=\"app_state\" value=\"" + key.state.toLatin1() + '"'));
    for (QByteArray typed : {name, email}) {
        typed = typed.trimmed().replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
        QVERIFY(html.contains("value=\"" + typed.replace('"', "&quot;") + '"'));
    }
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::signingInAgainFindsTheSameAccountWhateverItsStatus()
{
    const auto mailsBefore = mails().size();
    const JSON account = accountOf(tokenFor(signIn("Someone Else", "  Grace@EXAMPLE.com ")));
    QCOMPARE(str(account["email"].stringValue()), "grace@example.com");
    // The name of an account is the one it was made with.
    QCOMPARE(str(account["name"].stringValue()), "Grace Hopper");

    // Accounts the operator made sign in the same way.
    const QString id = m_server.addAccount("Linus@Example.com");
    QVERIFY(!id.isEmpty());
    const std::string linus = tokenFor(signIn("Linus", "linus@example.COM"));
    QCOMPARE(str(accountOf(linus).id()), id.toUtf8());
    // Signing in again announces nothing; only the operator's new account was announced.
    QCOMPARE(mails().size(), mailsBefore + 1);

    // A blocked account still gets a session: the application learns the status from it.
    QVERIFY(m_server.setStatus(id, "blocked"));
    const std::string again = tokenFor(signIn("Linus", "linus@example.com"));
    QCOMPARE(str(accountOf(again)["status"].stringValue()), "blocked");
}

void SignInServerTest::codesAreOneTimeAndBoundToTheChallenge()
{
    const QString email = "codes@example.com";

    // A wrong verifier is refused and uses the code up.
    const SignIn stolen = signIn("Codes", email);
    QVERIFY2(!stolen.code.isEmpty(), qPrintable(stolen.error));
    const HttpsReply wrong = exchange(*m_client, stolen.code, ProofKey::make().verifier);
    QVERIFY(wrong.status == 400 && wrong.isRefusal());
    m_refusedCode = wrong.json();
    QCOMPARE(exchange(*m_client, stolen.code, stolen.key.verifier).json(), m_refusedCode);

    // So does an attempt without a verifier.
    const SignIn bare = signIn("Codes", email);
    const JSON codeOnly = JSON::object({{"code", bare.code.toStdString()}});
    QCOMPARE(m_client->post("/auth/native/exchange", {}, codeOnly).status, 400);
    QCOMPARE(exchange(*m_client, bare.code, bare.key.verifier).status, 400);

    // The right verifier works once; the token is a session of the account.
    const SignIn good = signIn("Codes", email);
    const HttpsReply exchanged = exchange(*m_client, good.code, good.key.verifier);
    QCOMPARE(exchanged.status, 200);
    const std::string token(exchanged.json()["token"].stringValue());
    QVERIFY(token.size() >= 43);
    QCOMPARE(str(accountOf(token)["email"].stringValue()), email.toUtf8());
    QCOMPARE(exchange(*m_client, good.code, good.key.verifier).json(), m_refusedCode);

    // An unknown code, and a verifier of another sign-in, get the same answer.
    QCOMPARE(exchange(*m_client, ProofKey::make().state, good.key.verifier).json(), m_refusedCode);
    const SignIn other = signIn("Codes", email);
    QCOMPARE(exchange(*m_client, other.code, good.key.verifier).json(), m_refusedCode);
    for (const char *body :
         {"", "code=a&verifier=b", "[\"a\",\"b\"]", "{\"code\":1,\"verifier\":\"v\"}"}) {
        const HttpsReply reply = m_client->send("POST", "/auth/native/exchange", {}, body);
        QVERIFY2(reply.status == 400 && reply.isRefusal(), body);
    }

    // Codes and tokens are kept only as hashes, and the log holds neither.
    QByteArray stored;
    for (const char *file : {"quorvale.sqlite3", "quorvale.sqlite3-wal", "access.log"})
        stored += readAll(m_server.dataDir() + '/' + file);
    QVERIFY(!stored.isEmpty());
    for (const QString &secret : {good.code, other.code, QString::fromStdString(token)})
        QVERIFY(!stored.contains(secret.toLatin1()));
}

void SignInServerTest::concurrentExchangesOfOneCodeHaveOneWinner()
{
    const SignIn raced = signIn("Race", "race@example.com");
    QVERIFY2(!raced.code.isEmpty(), qPrintable(raced.error));
    std::vector<int> statuses(6);
    inParallel(6, [&](int i) {
        HttpsClient client(m_server);
        statuses[std::size_t(i)] = exchange(client, raced.code, raced.key.verifier).status;
    });
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 200), 1);
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 400), 5);
}

void SignInServerTest::expiredCodesAreRefusedAndSwept()
{
    // With a lifetime of 0 every code has expired by the time it is exchanged.
    ReferenceServer server;
    server.setServeOptions({"--code-ttl", "0"});
    QVERIFY(server.start());
    HttpsClient client(server);
    const SignIn first = signIn("Ada", m_adminEmail, &server);
    QVERIFY2(!first.code.isEmpty(), qPrintable(first.error));
    const SignIn second = signIn("Ada", m_adminEmail, &server);
    // Making the second code removed the first, which had expired.
    QCOMPARE(sql(server, "SELECT count(*) FROM sign_in_codes"), "1");
    for (const SignIn *expired : {&second, &first}) {
        const HttpsReply refused = exchange(client, expired->code, expired->key.verifier);
        QCOMPARE(refused.json(), m_refusedCode);
    }
    QCOMPARE(sql(server, "SELECT count(*) FROM sign_in_codes"), "0");
}

void SignInServerTest::dataDirectoriesFromBeforeSignInAndImportsGainThem()
{
    // A data directory whose database predates sign-in codes.
    ReferenceServer server;
    const QString id = server.addAccount("early@example.com");
    QVERIFY(!id.isEmpty());
    const QString latest = sql(server, "PRAGMA user_version");
    QCOMPARE(sql(server,
                 "DROP TABLE sign_in_codes; DROP TABLE notion_files; "
                 "DROP TABLE transcriptions; DROP TABLE notion_layouts; DROP TABLE notion_imports; "
                 "PRAGMA user_version = 1; PRAGMA user_version"),
             "1");

    QVERIFY(server.start());
    HttpsClient client(server);
    const SignIn early = signIn("Early", "early@example.com", &server);
    QVERIFY2(!early.code.isEmpty(), qPrintable(early.error));
    const HttpsReply exchanged = exchange(client, early.code, early.key.verifier);
    QCOMPARE(exchanged.status, 200);
    const std::string token(exchanged.json()["token"].stringValue());
    QCOMPARE(str(client.get("/auth/me", token).json()["account"].id()), id.toUtf8());
    // So do imported files.
    QVERIFY(!server.addNotionFile(id, "b", "a.pem", server.caFile()).isEmpty());
    QCOMPARE(sql(server, "PRAGMA user_version"), latest);
}

QTEST_GUILESS_MAIN(SignInServerTest)
#include "tst_signin_server.moc"
