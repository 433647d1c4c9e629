// Signing in on the reference server as the desktop client and a browser do: the sign-in page,
// the redirect to the application with a one-time code, and the exchange of that code for a
// session, over verified TLS against the real executable.
#include "support/referenceserver.h"
#include "json/json.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <memory>
#include <vector>

using quorvale::JSON;
using quorvale::test::ReferenceServer;

namespace {

constexpr int timeoutMs = 15000;

struct Answer
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    JSON json() const
    {
        try {
            return JSON::decode(body.toStdString());
        } catch (const JSON::DecodeError &) {
            return JSON();
        }
    }
    QString text() const { return QString::fromUtf8(body); }
    QByteArray header(const char *name) const { return headers.value(QByteArray(name)); }
};

// Qt's own HTTPS client, trusting the server's authority, following no redirect.
class Http final
{
public:
    explicit Http(const ReferenceServer &server)
        : m_server(server)
    {
        m_network.setCookieJar(nullptr);
    }

    Answer get(const QUrl &url) { return finish(m_network.get(request(url, {}))); }
    Answer get(const QString &pathAndQuery) { return get(resolve(pathAndQuery)); }
    Answer post(const QString &path, const QByteArray &body, const QByteArray &contentType)
    {
        return finish(m_network.post(request(resolve(path), contentType), body));
    }
    Answer form(const QList<std::pair<QString, QString>> &fields)
    {
        QByteArray body;
        for (const auto &[key, value] : fields) {
            if (!body.isEmpty())
                body += '&';
            body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
        }
        return post(QStringLiteral("/auth/login"), body, "application/x-www-form-urlencoded");
    }
    Answer exchange(const QString &code, const QString &verifier)
    {
        return post(QStringLiteral("/auth/native/exchange"),
                    QByteArray::fromStdString(JSON::object({{"code", code.toStdString()},
                                                            {"verifier", verifier.toStdString()}})
                                                  .encode()),
                    "application/json");
    }
    Answer me(const std::string &token)
    {
        QNetworkRequest r = request(resolve(QStringLiteral("/auth/me")), {});
        r.setRawHeader("Authorization", QByteArray("Bearer ") + token.c_str());
        return finish(m_network.get(r));
    }
    // Sends every exchange at once; answers the statuses.
    QList<int> exchangeConcurrently(const QString &code, const QString &verifier, int count)
    {
        const QByteArray body = QByteArray::fromStdString(
            JSON::object({{"code", code.toStdString()}, {"verifier", verifier.toStdString()}})
                .encode());
        std::vector<std::unique_ptr<QNetworkReply>> replies;
        for (int i = 0; i < count; ++i) {
            replies.emplace_back(m_network.post(
                request(resolve(QStringLiteral("/auth/native/exchange")), "application/json"),
                body));
        }
        // Unfinished replies show up as status 0.
        (void)QTest::qWaitFor(
            [&] {
                return std::all_of(replies.begin(), replies.end(),
                                   [](const auto &reply) { return reply->isFinished(); });
            },
            timeoutMs);
        QList<int> statuses;
        for (const auto &reply : replies)
            statuses << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return statuses;
    }

private:
    QUrl resolve(const QString &pathAndQuery) const
    {
        return QUrl(m_server.origin().toString() + pathAndQuery, QUrl::StrictMode);
    }
    QNetworkRequest request(const QUrl &url, const QByteArray &contentType) const
    {
        QNetworkRequest r(url);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(m_server.caFile()));
        r.setSslConfiguration(tls);
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
        if (!contentType.isEmpty())
            r.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        return r;
    }
    static Answer finish(QNetworkReply *raw)
    {
        std::unique_ptr<QNetworkReply> reply(raw);
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, reply.get(), &QNetworkReply::abort);
        if (!reply->isFinished())
            loop.exec();
        Answer answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        for (const auto &[name, value] : reply->rawHeaderPairs())
            answer.headers.insert(name.toLower(), value);
        return answer;
    }

    const ReferenceServer &m_server;
    QNetworkAccessManager m_network;
};

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

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

QByteArray str(std::string_view text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
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
    void anAddressInAnotherCaseSignsIntoTheSameAccount();
    void blockedAccountsStillGetASession();

    // Codes.
    void codesAreOneTimeAndBoundToTheChallenge();
    void concurrentExchangesOfOneCodeHaveOneWinner();
    void malformedExchangesAreRefused_data();
    void malformedExchangesAreRefused();
    void expiredCodesAreRefusedAndSwept();
    void dataDirectoriesFromBeforeSignInAndImportsGainThem();

private:
    SignIn signIn(const QString &name, const QString &email, ReferenceServer *server = nullptr);
    std::string tokenFor(const SignIn &signIn);
    int accountCount()
    {
        return sql(m_server, QStringLiteral("SELECT count(*) FROM accounts")).toInt();
    }

    ReferenceServer m_server;
    std::unique_ptr<Http> m_http;
    std::string m_adminToken;
    QString m_adminEmail = QStringLiteral("ada@example.com");
    // The message of every refused exchange of a code.
    QString m_refusedCode;
};

void SignInServerTest::initTestCase()
{
    QVERIFY(m_server.start());
    m_http = std::make_unique<Http>(m_server);
}

void SignInServerTest::cleanupTestCase()
{
    m_http.reset();
    m_server.stop();
    QCOMPARE(m_server.lastExitCode(), 0);
}

SignIn SignInServerTest::signIn(const QString &name, const QString &email, ReferenceServer *server)
{
    ReferenceServer &target = server ? *server : m_server;
    SignIn result;
    result.key = ProofKey::make();
    result.callback = target.signInWithBrowser(
        target.loginUrl(result.key.challenge, result.key.state), name, email, &result.error);
    result.code = queryValue(result.callback, "code");
    return result;
}

std::string SignInServerTest::tokenFor(const SignIn &signIn)
{
    const Answer answer = m_http->exchange(signIn.code, signIn.key.verifier);
    return answer.status == 200 ? std::string(answer.json()["token"].stringValue()) : std::string();
}

void SignInServerTest::firstSignInMakesTheAdministratorAndLaterOnesWait()
{
    const SignIn first = signIn(QStringLiteral("Ada Lovelace"), m_adminEmail);
    QVERIFY2(first.callback.isValid(), qPrintable(first.error));
    QCOMPARE(first.callback.scheme(), QStringLiteral("mx.qvl.quorvale"));
    QCOMPARE(first.callback.host(), QStringLiteral("oauth"));
    QCOMPARE(queryValue(first.callback, "state"), first.key.state);
    QVERIFY(first.code.size() >= 43); // 256 random bits
    m_adminToken = tokenFor(first);
    QVERIFY(m_adminToken.size() >= 43);
    const JSON admin = m_http->me(m_adminToken).json()["account"];
    QCOMPARE(str(admin["email"].stringValue()), m_adminEmail.toUtf8());
    QCOMPARE(str(admin["name"].stringValue()), "Ada Lovelace");
    QCOMPARE(str(admin["status"].stringValue()), "approved");
    QCOMPARE(str(admin["role"].stringValue()), "admin");
    QVERIFY(QDir(m_server.dataDir() + QStringLiteral("/mail")).isEmpty());

    // The next account waits for approval, and the administrator hears of it.
    const SignIn second =
        signIn(QStringLiteral("Grace Hopper"), QStringLiteral("grace@example.com"));
    QVERIFY2(second.callback.isValid(), qPrintable(second.error));
    const std::string token = tokenFor(second);
    const JSON user = m_http->me(token).json()["account"];
    QCOMPARE(str(user["status"].stringValue()), "pending");
    QCOMPARE(str(user["role"].stringValue()), "user");
    QCOMPARE(str(user["tenantId"].stringValue()), "local");

    const QDir spool(m_server.dataDir() + QStringLiteral("/mail"));
    const QStringList mails = spool.entryList({QStringLiteral("*.eml")}, QDir::Files);
    QCOMPARE(mails.size(), 1);
    const QString mail = QString::fromUtf8(readAll(spool.filePath(mails[0])));
    QVERIFY(mail.contains(QStringLiteral("\r\nTo: ") + m_adminEmail));
    QVERIFY(mail.contains(QStringLiteral("grace@example.com")));
    QVERIFY(mail.contains(QString::fromUtf8(str(user["id"].stringValue()))));
    // The administration list shows the announcement as sent.
    QCOMPARE(str(JSON::decode(m_server.cli({"account", "list"})
                                  .split('\n')
                                  .last()
                                  .toStdString())["notification"]["status"]
                     .stringValue()),
             "sent");
}

void SignInServerTest::loginPageIsASelfContainedForm()
{
    const ProofKey key = ProofKey::make();
    const Answer page = m_http->get(m_server.loginUrl(key.challenge, key.state));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.header("content-type"), "text/html; charset=utf-8");
    QCOMPARE(page.header("x-frame-options"), "DENY");
    QCOMPARE(page.header("cache-control"), "no-store");

    const QString html = page.text();
    QVERIFY(html.contains(QStringLiteral("<title>Quorvale</title>")));
    QVERIFY(html.contains(QStringLiteral("<form method=\"post\" action=\"/auth/login\">")));
    QVERIFY(html.contains(QStringLiteral("<input type=\"hidden\" name=\"challenge\" value=\"") +
                          key.challenge + QLatin1Char('"')));
    QVERIFY(html.contains(QStringLiteral("<input type=\"hidden\" name=\"app_state\" value=\"") +
                          key.state + QLatin1Char('"')));
    QVERIFY(html.contains(QStringLiteral("Nombre / Name")));
    QVERIFY(html.contains(QStringLiteral("Correo / Email")));
    QVERIFY(html.contains(QStringLiteral("name=\"name\"")));
    QVERIFY(html.contains(QStringLiteral("name=\"email\" type=\"email\"")));
    QVERIFY(html.contains(QStringLiteral("type=\"submit\"")));

    // Nothing is loaded from anywhere, and nothing runs.
    for (const char *outside : {"<script", "src=", "http:", "https:", "url(", "@import", " on"})
        QVERIFY2(!html.contains(QLatin1String(outside), Qt::CaseInsensitive), outside);

    // The policy allows no script, and of styles only the page's own, by its hash.
    const QString policy = QString::fromLatin1(page.header("content-security-policy"));
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
    QVERIFY2(policy.contains(QStringLiteral("style-src 'sha256-") + styleHash + QLatin1Char('\'')),
             qPrintable(policy));
    // The form may go on to the application after its redirect.
    QVERIFY(policy.contains(QStringLiteral("form-action 'self' mx.qvl.quorvale:")));
}

void SignInServerTest::hostileStatesAreEscapedAndComeBackIntact()
{
    ProofKey key = ProofKey::make();
    key.state = QStringLiteral("\"><script>alert('x')</script>&amp; +%20ü");
    const Answer page = m_http->get(m_server.loginUrl(key.challenge, key.state));
    QCOMPARE(page.status, 200);
    QVERIFY(!page.text().contains(QStringLiteral("<script")));
    QVERIFY(page.text().contains(
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
    const Answer redirect = m_http->form({{QStringLiteral("challenge"), key.challenge},
                                          {QStringLiteral("app_state"), key.state},
                                          {QStringLiteral("name"), QStringLiteral("Ada")},
                                          {QStringLiteral("email"), m_adminEmail}});
    QCOMPARE(redirect.status, 302);
    QCOMPARE(redirect.header("x-frame-options"), "DENY");
    QCOMPARE(redirect.header("cache-control"), "no-store");
    const QByteArray location = redirect.header("location");
    QVERIFY(location.startsWith("mx.qvl.quorvale://oauth?state=%22%3E%3Cscript%3E"));
    QVERIFY(
        redirect.body.contains("<a href=\"" + QByteArray(location).replace('&', "&amp;") + "\">"));

    // A page that refused a typing mistake escapes what was typed.
    const Answer refused = m_http->form({{QStringLiteral("challenge"), key.challenge},
                                         {QStringLiteral("app_state"), key.state},
                                         {QStringLiteral("name"), QStringLiteral("<b>Ada</b>")},
                                         {QStringLiteral("email"), QStringLiteral("\"@<x>")}});
    QCOMPARE(refused.status, 400);
    QVERIFY(!refused.text().contains(QStringLiteral("<script")));
    QVERIFY(!refused.text().contains(QStringLiteral("<b>")));
    QVERIFY(!refused.text().contains(QStringLiteral("<x>")));
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
    QTest::newRow("empty challenge") << "GET" << QString() << s << QByteArray();
    QTest::newRow("42 characters") << "GET" << good.left(42) << s << QByteArray();
    QTest::newRow("44 characters") << "GET" << good + QLatin1Char('A') << s << QByteArray();
    QTest::newRow("padding") << "GET" << good.left(42) + QLatin1Char('=') << s << QByteArray();
    QTest::newRow("plain base64") << "GET" << good.left(42) + QLatin1Char('/') << s << QByteArray();
    QTest::newRow("not ascii") << "GET" << good.left(42) + QStringLiteral("é") << s << QByteArray();
    QTest::newRow("no state") << "GET" << good << no << QByteArray();
    QTest::newRow("empty state") << "GET" << good << QString() << QByteArray();
    QTest::newRow("state with a line break") << "GET" << good << "a\nb" << QByteArray();
    QTest::newRow("state over 1 KiB")
        << "GET" << good << QString(1025, QLatin1Char('s')) << QByteArray();
    QTest::newRow("posted without challenge") << "POST" << no << s << form;
    QTest::newRow("posted bad challenge") << "POST" << good.left(40) << s << form;
    QTest::newRow("posted without state") << "POST" << good << no << form;
    QTest::newRow("posted as JSON") << "POST" << good << s << QByteArray("application/json");
    QTest::newRow("posted as text") << "POST" << good << s << QByteArray("text/plain");
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
    QByteArray query;
    for (const auto &[key, value] : fields)
        query += (query.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + '=' +
                 QUrl::toPercentEncoding(value);
    const int before = accountCount();

    const Answer answer =
        method == QLatin1String("GET")
            ? m_http->get(QStringLiteral("/auth/login?") + QString::fromLatin1(query))
            : m_http->post(QStringLiteral("/auth/login"), query, contentType);
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.header("content-type"), "text/html; charset=utf-8");
    QCOMPARE(answer.header("x-frame-options"), "DENY");
    QVERIFY(answer.header("content-security-policy").contains("default-src 'none'"));
    QVERIFY(answer.text().contains(QStringLiteral("class=\"error\"")));
    QVERIFY(!answer.text().contains(QStringLiteral("<form")));
    QVERIFY(answer.header("location").isEmpty());
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::typingMistakesShowTheFormAgain_data()
{
    QTest::addColumn<QByteArray>("name"); // bytes, as a crafted request may send them
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<QString>("message");
    QTest::newRow("no name") << QByteArray() << QByteArray("someone@example.com") << "nombre";
    QTest::newRow("blank name") << QByteArray("   ") << QByteArray("someone@example.com")
                                << "nombre";
    QTest::newRow("name with a line break")
        << QByteArray("Eve\r\nBcc: all@example.com") << QByteArray("eve@example.com") << "nombre";
    QTest::newRow("name over 200 bytes")
        << QByteArray(201, 'n') << QByteArray("n@example.com") << "nombre";
    QTest::newRow("name not UTF-8")
        << QByteArray("Jos\xe9") << QByteArray("jose@example.com") << "nombre";
    QTest::newRow("no e-mail") << QByteArray("Someone") << QByteArray() << "correo";
    QTest::newRow("no at sign") << QByteArray("Someone") << QByteArray("someone.example.com")
                                << "correo válido";
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
    const QByteArray body =
        "challenge=" + key.challenge.toLatin1() + "&app_state=" + key.state.toLatin1() +
        "&name=" + name.toPercentEncoding() + "&email=" + email.toPercentEncoding();
    const int before = accountCount();

    const Answer answer =
        m_http->post(QStringLiteral("/auth/login"), body, "application/x-www-form-urlencoded");
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.header("content-type"), "text/html; charset=utf-8");
    QVERIFY(answer.header("location").isEmpty());
    const QByteArray html = answer.body;
    static const QRegularExpression errorParagraph(
        QStringLiteral("<p class=\"error\" role=\"alert\">([^<]+)</p>"));
    const auto error = errorParagraph.match(QString::fromUtf8(html));
    QVERIFY(error.hasMatch());
    QVERIFY2(error.captured(1).contains(message, Qt::CaseInsensitive),
             qPrintable(error.captured(1)));
    QVERIFY(error.captured(1).contains(QStringLiteral(" / "))); // Spanish / English

    // The form comes back whole, carrying the link's fields and what was typed, escaped.
    QVERIFY(html.contains("<form method=\"post\" action=\"/auth/login\">"));
    QVERIFY(html.contains("name=\"challenge\" value=\"" + key.challenge.toLatin1() + '"'));
    QVERIFY(html.contains("name=\"app_state\" value=\"" + key.state.toLatin1() + '"'));
    const auto escaped = [](QByteArray text) {
        return text.trimmed()
            .replace('&', "&amp;")
            .replace('<', "&lt;")
            .replace('>', "&gt;")
            .replace('"', "&quot;");
    };
    QVERIFY(
        html.contains("type=\"text\" autocomplete=\"name\" required maxlength=\"200\" value=\"" +
                      escaped(name) + '"'));
    QVERIFY(html.contains("type=\"email\" autocomplete=\"email\" required maxlength=\"254\" "
                          "value=\"" +
                          escaped(email) + '"'));
    QCOMPARE(accountCount(), before);
}

void SignInServerTest::anAddressInAnotherCaseSignsIntoTheSameAccount()
{
    const QStringList mailsBefore =
        QDir(m_server.dataDir() + QStringLiteral("/mail")).entryList(QDir::Files);
    const std::string token =
        tokenFor(signIn(QStringLiteral("Someone Else"), QStringLiteral("  Grace@EXAMPLE.com ")));
    const JSON account = m_http->me(token).json()["account"];
    QCOMPARE(str(account["email"].stringValue()), "grace@example.com");
    // The name of an account is the one it was made with.
    QCOMPARE(str(account["name"].stringValue()), "Grace Hopper");

    // Accounts the operator made sign in the same way.
    const QString id = m_server.addAccount(QStringLiteral("Linus@Example.com"));
    QVERIFY(!id.isEmpty());
    const std::string linus =
        tokenFor(signIn(QStringLiteral("Linus"), QStringLiteral("linus@example.COM")));
    QCOMPARE(str(m_http->me(linus).json()["account"]["id"].stringValue()), id.toUtf8());

    // Signing in again announces nothing; only the operator's new account was announced.
    QCOMPARE(QDir(m_server.dataDir() + QStringLiteral("/mail")).entryList(QDir::Files).size(),
             mailsBefore.size() + 1);
}

void SignInServerTest::blockedAccountsStillGetASession()
{
    const QString email = QStringLiteral("blocked@example.com");
    const std::string first = tokenFor(signIn(QStringLiteral("Blocked"), email));
    const QString id = QString::fromUtf8(m_http->me(first).json()["account"]["id"].stringValue());
    QVERIFY(m_server.setStatus(id, QStringLiteral("blocked")));

    // The application learns the status from the account, not from a failed sign-in.
    const std::string again = tokenFor(signIn(QStringLiteral("Blocked"), email));
    QVERIFY(!again.empty());
    QCOMPARE(str(m_http->me(again).json()["account"]["status"].stringValue()), "blocked");
}

void SignInServerTest::codesAreOneTimeAndBoundToTheChallenge()
{
    const QString email = QStringLiteral("codes@example.com");

    // A wrong verifier is refused and uses the code up.
    const SignIn stolen = signIn(QStringLiteral("Codes"), email);
    QVERIFY2(!stolen.code.isEmpty(), qPrintable(stolen.error));
    const Answer wrong = m_http->exchange(stolen.code, ProofKey::make().verifier);
    QCOMPARE(wrong.status, 400);
    m_refusedCode = QString::fromUtf8(wrong.json()["error"].stringValue());
    QVERIFY(!m_refusedCode.isEmpty());
    const Answer afterWrong = m_http->exchange(stolen.code, stolen.key.verifier);
    QCOMPARE(afterWrong.status, 400);
    QCOMPARE(afterWrong.json(), wrong.json());

    // So does an attempt without a verifier.
    const SignIn bare = signIn(QStringLiteral("Codes"), email);
    const Answer noVerifier =
        m_http->post(QStringLiteral("/auth/native/exchange"),
                     "{\"code\":\"" + bare.code.toLatin1() + "\"}", "application/json");
    QCOMPARE(noVerifier.status, 400);
    QCOMPARE(m_http->exchange(bare.code, bare.key.verifier).status, 400);

    // The right verifier works once; the token is a session of the account.
    const SignIn good = signIn(QStringLiteral("Codes"), email);
    const Answer exchanged = m_http->exchange(good.code, good.key.verifier);
    QCOMPARE(exchanged.status, 200);
    QCOMPARE(exchanged.header("content-type"), "application/json");
    const std::string token(exchanged.json()["token"].stringValue());
    QVERIFY(token.size() >= 43);
    QCOMPARE(str(m_http->me(token).json()["account"]["email"].stringValue()), email.toUtf8());
    const Answer replayed = m_http->exchange(good.code, good.key.verifier);
    QCOMPARE(replayed.status, 400);
    QCOMPARE(replayed.json(), wrong.json());

    // An unknown code, and a verifier of another sign-in, get the same answer.
    QCOMPARE(m_http->exchange(ProofKey::make().state, good.key.verifier).json(), wrong.json());
    const SignIn other = signIn(QStringLiteral("Codes"), email);
    QCOMPARE(m_http->exchange(other.code, good.key.verifier).json(), wrong.json());

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
    const QList<int> statuses = m_http->exchangeConcurrently(raced.code, raced.key.verifier, 6);
    QCOMPARE(statuses.count(200), 1);
    QCOMPARE(statuses.count(400), 5);
}

void SignInServerTest::malformedExchangesAreRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("code=a&verifier=b");
    QTest::newRow("array") << QByteArray("[\"a\",\"b\"]");
    QTest::newRow("no members") << QByteArray("{}");
    QTest::newRow("no code") << QByteArray("{\"verifier\":\"v\"}");
    QTest::newRow("code not a string") << QByteArray("{\"code\":1,\"verifier\":\"v\"}");
    QTest::newRow("verifier not a string") << QByteArray("{\"code\":\"c\",\"verifier\":[]}");
}

void SignInServerTest::malformedExchangesAreRefused()
{
    QFETCH(QByteArray, body);
    const Answer answer =
        m_http->post(QStringLiteral("/auth/native/exchange"), body, "application/json");
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.header("content-type"), "application/json");
    QVERIFY(answer.json()["error"].isString());
}

void SignInServerTest::expiredCodesAreRefusedAndSwept()
{
    // The lifetime is an option of serve, shown in the help, and refused out of its range.
    bool ok = false;
    QVERIFY(m_server.cli({QStringLiteral("--help")}, &ok).contains("--code-ttl"));
    QVERIFY(ok);
    for (const char *bad : {"-1", "3601", "5s", ""}) {
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
    Http http(server);
    const SignIn first = signIn(QStringLiteral("Ada"), m_adminEmail, &server);
    QVERIFY2(!first.code.isEmpty(), qPrintable(first.error));
    const SignIn second = signIn(QStringLiteral("Ada"), m_adminEmail, &server);
    // Making the second code removed the first, which had expired.
    QCOMPARE(sql(server, QStringLiteral("SELECT count(*) FROM sign_in_codes")),
             QStringLiteral("1"));
    for (const SignIn *expired : {&second, &first}) {
        const Answer refused = http.exchange(expired->code, expired->key.verifier);
        QCOMPARE(refused.status, 400);
        QCOMPARE(QString::fromUtf8(refused.json()["error"].stringValue()), m_refusedCode);
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
    QCOMPARE(sql(server, QStringLiteral("DROP TABLE sign_in_codes; DROP TABLE notion_files; "
                                        "DROP TABLE notion_layouts; PRAGMA user_version = 1; "
                                        "PRAGMA user_version")),
             QStringLiteral("1"));

    QVERIFY(server.start());
    Http http(server);
    const SignIn early =
        signIn(QStringLiteral("Early"), QStringLiteral("early@example.com"), &server);
    QVERIFY2(!early.code.isEmpty(), qPrintable(early.error));
    const Answer exchanged = http.exchange(early.code, early.key.verifier);
    QCOMPARE(exchanged.status, 200);
    const JSON account = http.me(std::string(exchanged.json()["token"].stringValue())).json();
    QCOMPARE(str(account["account"]["id"].stringValue()), id.toUtf8());
    // So do imported files.
    QVERIFY(!server.addNotionFile(id, QStringLiteral("b"), QStringLiteral("a.pem"), server.caFile())
                 .isEmpty());
    QCOMPARE(sql(server, QStringLiteral("PRAGMA user_version")), latest);
}

QTEST_GUILESS_MAIN(SignInServerTest)
#include "tst_signin_server.moc"
