// A new account's first day, in the real window: sign in through the browser, wait for
// approval, get the workspace without doing anything, write a page, save, sign out.
//
// The client runs as its own process on the X display of the test run, talks to the reference
// server on the origin built into it, keeps its session in the run's keyring, and opens the
// browser through the desktop's BROWSER. The test drives it through the client's automation
// socket and keeps screenshots under the build folder.

#include "service/secretstore.h"
#include "service/service.h"
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "support/zipwriter.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace quorvale;
using namespace quorvale::test;

namespace {

constexpr int longWait = 30000;

// The client's automation socket: one command line out, one JSON line back.
class Driver
{
public:
    bool connectTo(const QString &path)
    {
        return QTest::qWaitFor(
            [&] {
                m_socket.connectToServer(path);
                if (m_socket.waitForConnected(200))
                    return true;
                m_socket.abort();
                return false;
            },
            longWait);
    }

    QJsonObject send(const QString &command)
    {
        m_socket.write(command.toUtf8() + '\n');
        m_socket.waitForBytesWritten(5000);
        while (!m_socket.canReadLine()) {
            if (!m_socket.waitForReadyRead(10000))
                return QJsonObject{{QStringLiteral("error"), QStringLiteral("no answer")}};
        }
        return QJsonDocument::fromJson(m_socket.readLine()).object();
    }

    QJsonObject state() { return send(QStringLiteral("state")); }
    QJsonObject widget(const QString &name) { return send(QStringLiteral("widget ") + name); }
    bool visible(const QString &name) { return widget(name)[QStringLiteral("visible")].toBool(); }
    QString text(const QString &name) { return widget(name)[QStringLiteral("text")].toString(); }
    QString click(const QString &name)
    {
        return send(QStringLiteral("click ") + name)[QStringLiteral("error")].toString();
    }

private:
    QLocalSocket m_socket;
};

// The session item the client keeps in the keyring, as the keyring tells it.
SecretStore::Outcome storedSession()
{
    return SecretStore::system()->find("mx.qvl.quorvale.session", "session").outcome;
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void aNewAccountSignsInIsApprovedWritesAPageAndSignsOut();

private:
    QProcessEnvironment clientEnvironment() const;
    QString accountId(const QString &email);
    // Saves a picture the driver takes: "grab -", the screen where the main window is, or
    // "render <widget>", the whole named widget, scrolled-out parts too.
    void picture(const QString &command, const QString &file);
    // Pages of every kind, as an import leaves them, read and edited in the window.
    void readImportedPages(const QString &accountId, const JSON &saved);
    // A Notion export brought in through the import sheet, under a folder named there.
    void importAnExport();
    // Records a meeting through the window: the sound server plays a voice into the microphone.
    void recordAMeeting();
    // Promoted by the operator, the user (id) opens account administration: a newcomer waits
    // there, and a retry of pending e-mails goes through.
    void administerAccounts(const QString &id);

    QTemporaryDir m_root;
    std::unique_ptr<ReferenceServer> m_server;
    QProcess m_client;
    Driver m_driver;
    QDir m_screenshots{QStringLiteral(QUORVALE_SCREENSHOTS)};
};

void EndToEndTest::initTestCase()
{
    if (!qEnvironmentVariableIsSet("DISPLAY"))
        QFAIL("no X display: run this under Xvfb (scripts/test does)");
    if (!qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING"))
        QFAIL("no private keyring: run this inside scripts/with-keyring (scripts/test does)");
    const QUrl origin = Service::defaultOrigin();
    if (origin.host() != QLatin1String("localhost") || origin.port() <= 0)
        QSKIP("this client is built for another server than a local one");
    QVERIFY(m_root.isValid());
    QVERIFY(m_screenshots.mkpath(QStringLiteral(".")));
    for (const char *dir : {"home", "data", "config", "cache", "runtime"})
        QVERIFY(QDir(m_root.path()).mkdir(QLatin1String(dir)));
    QVERIFY(QFile::setPermissions(m_root.filePath(QStringLiteral("runtime")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // The server where the client looks for it: its built-in port, and the authority in the
    // client's data directory.
    m_server =
        std::make_unique<ReferenceServer>(m_root.filePath(QStringLiteral("data/quorvale-server")));
    m_server->setPort(origin.port());
    QVERIFY2(m_server->start(),
             qPrintable(QStringLiteral("the reference server could not take port %1; is another "
                                       "one running (scripts/run)?")
                            .arg(origin.port())));
    // The administrator exists already, so the newcomer waits for approval.
    QVERIFY(!m_server->addAccount(QStringLiteral("admin@example.test")).isEmpty());

    // The browser: a script that leaves the URL where the test reads it.
    const QString browser = m_root.filePath(QStringLiteral("browser"));
    QFile script(browser);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" +
                 QFile::encodeName(m_root.filePath(QStringLiteral("opened"))) + "'\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void EndToEndTest::cleanupTestCase()
{
    if (m_client.state() != QProcess::NotRunning) {
        m_client.kill();
        m_client.waitForFinished(10000);
    }
}

QProcessEnvironment EndToEndTest::clientEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), m_root.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_root.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), m_root.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_root.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("QUORVALE_AUTOMATION"), m_root.filePath(QStringLiteral("driver")));
    env.insert(QStringLiteral("QUORVALE_OBSERVATION_MS"), QStringLiteral("200"));
    env.insert(QStringLiteral("BROWSER"), m_root.filePath(QStringLiteral("browser")));
    env.remove(QStringLiteral("DEFAULT_BROWSER")); // it would come before BROWSER
    return env;
}

QString EndToEndTest::accountId(const QString &email)
{
    const QList<QByteArray> lines =
        m_server->cli({QStringLiteral("account"), QStringLiteral("list")}).split('\n');
    for (const QByteArray &line : lines) {
        const JSON account = JSON::decode(line.toStdString());
        if (account["email"].stringValue() == email.toStdString())
            return QString::fromStdString(std::string(account.id()));
    }
    return {};
}

void EndToEndTest::administerAccounts(const QString &id)
{
    QVERIFY(m_server->promote(id));
    const QString newcomer =
        m_server->addAccount(QStringLiteral("lucia@example.test"), QStringLiteral("Lucía Pérez"));
    QVERIFY(!newcomer.isEmpty());
    // The periodic account check notices the role and brings the accounts.
    QCOMPARE(m_driver.send(QStringLiteral("select @admin"))[QStringLiteral("error")].toString(),
             QString());
    const QString row = QStringLiteral("account:") + newcomer;
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(row), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("retryNotifications")),
             QStringLiteral("Retry pending notifications"));
    picture(QStringLiteral("grab -"), QStringLiteral("17-administration.png"));
    QCOMPARE(m_driver.click(QStringLiteral("retryNotifications")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
    QCOMPARE(m_driver.send(QStringLiteral("select @meetings"))[QStringLiteral("error")].toString(),
             QString());
}

void EndToEndTest::picture(const QString &command, const QString &file)
{
    const QString path = m_screenshots.filePath(file);
    QFile::remove(path);
    const QJsonObject answer = m_driver.send(command + u' ' + path);
    QVERIFY2(!answer.contains(QStringLiteral("error")),
             qPrintable(answer[QStringLiteral("error")].toString()));
    // A real picture: its size, and more than one colour in it.
    const QImage image(path);
    const QSize least = command.startsWith(u"grab") ? QSize(300, 150) : QSize(100, 40);
    QVERIFY2(!image.isNull() && image.width() >= least.width() && image.height() >= least.height(),
             qPrintable(path));
    const QRgb first = image.pixel(0, 0);
    bool varied = false;
    for (int y = 0; y < image.height() && !varied; y += 7) {
        for (int x = 0; x < image.width() && !varied; x += 7)
            varied = image.pixel(x, y) != first;
    }
    QVERIFY2(varied, qPrintable(path + QStringLiteral(" is blank")));
}

void EndToEndTest::readImportedPages(const QString &id, const JSON &saved)
{
    // What an import leaves on the server: a picture, a document, the list layout.
    QImage diagram(800, 360, QImage::Format_RGB32);
    diagram.fill(QColor(236, 242, 250));
    QPainter(&diagram).fillRect(60, 80, 220, 200, QColor(47, 107, 216));
    const QString picturePath = m_root.filePath(QStringLiteral("diagram.png"));
    QVERIFY(diagram.save(picturePath, "PNG"));
    const QString reportPath = m_root.filePath(QStringLiteral("informe.pdf"));
    QFile report(reportPath);
    QVERIFY(report.open(QIODevice::WriteOnly));
    report.write("%PDF-1.4\n% informe\n");
    report.close();
    const QString batch = QStringLiteral("batch-e2e");
    const QString pictureId =
        m_server->addNotionFile(id, batch, QStringLiteral("Assets/Diagrama.PNG"), picturePath);
    QVERIFY(!pictureId.isEmpty());
    QVERIFY(!m_server->addNotionFile(id, batch, QStringLiteral("Docs/Informe.pdf"), reportPath)
                 .isEmpty());

    const std::string showcase = "5a0c1d3e-7f21-4c4e-9a55-0d7e3b1c2a10";
    const std::string board = "8b2e4f60-1c3d-4e5f-a6b7-c8d9e0f1a2b3";
    const std::string child = "c3d4e5f6-a7b8-4c9d-8e0f-1a2b3c4d5e6f";
    auto block = [](std::string_view blockId, std::string_view type, std::string_view text) {
        return JSON::object({{"id", blockId}, {"type", type}, {"text", text}});
    };
    JSON checked = block("b09", "todo", "Revisar el presupuesto");
    checked.set("checked", true);
    JSON pageLink = block("b14", "pageLink", "Tablero del proyecto");
    pageLink.set("targetPageId", board);
    JSON attachment = block("b15", "attachment", "Diagrama.PNG");
    attachment.set("assetId", pictureId.toStdString());
    const JSON blocks = JSON::array({
        block("b01", "h1", "Lanzamiento de primavera"),
        block("b02", "text",
              "Resumen con **negritas**, *cursivas* y `código`. Ver el "
              "[Tablero](Tablero%2000112233445566778899AABBCCDDEEFF.md), el "
              "[informe](Docs/Informe.pdf) y [la web](https://example.com/plan)."),
        block("b03", "h2", "Objetivos"),
        block("b04", "bullet", "Publicar la versión 1.0"),
        block("b05", "bullet", "Formar al equipo de soporte"),
        block("b06", "number", "Cerrar el alcance"),
        block("b07", "number", "Probar con clientes"),
        block("b08", "h3", "Tareas"),
        checked,
        block("b10", "todo", "Enviar el anuncio"),
        block("b11", "quote", "La calidad nunca es un accidente."),
        block("b12", "callout", "Las fechas pueden moverse una semana."),
        block("b13", "code", "quorvale-server --data ~/datos serve\nscripts/test"),
        pageLink,
        attachment,
        block("b16", "table",
              R"({"headers":["Fase","Responsable","Fecha"],"rows":[["Diseño","Ana","3 de marzo"],)"
              R"(["Pruebas","Luis","17 de marzo"],["Lanzamiento","Marta","1 de abril"]]})"),
        block("b17", "divider", ""),
        block("b18", "text", "Última línea del documento."),
    });
    JSON showcasePage = JSON::object({{"id", showcase},
                                      {"title", "Plan de lanzamiento"},
                                      {"icon", "🚀"},
                                      {"kind", "document"},
                                      {"importBatchId", batch.toStdString()},
                                      {"favorite", true}});
    showcasePage.set("blocks", blocks);
    JSON boardPage = JSON::decode(R"({"title": "Tablero", "icon": "📋", "kind": "board",
        "notionSource": "notion:00112233445566778899aabbccddeeff", "cards": [
        {"id": "k1", "title": "Redactar la nota", "status": "Sin empezar", "priority": "Media", "tag": "prensa"},
        {"id": "k2", "title": "Revisar precios", "status": "En curso", "priority": "Alta", "tag": "ventas"},
        {"id": "k3", "title": "Elegir fecha", "status": "Listo", "priority": "Baja", "tag": ""},
        {"id": "k4", "title": "Preparar demo", "status": "En curso", "priority": "Media", "tag": "producto"}]})");
    boardPage.set("id", board);
    JSON childPage = JSON::object({{"id", child},
                                   {"title", "Notas de la reunión"},
                                   {"kind", "document"},
                                   {"parentId", showcase},
                                   {"blocks", JSON::array()}});
    JSON workspace = saved["workspace"];
    workspace.member("pages").append(showcasePage);
    workspace.member("pages").append(boardPage);
    workspace.member("pages").append(childPage);
    QCOMPARE(HttpsClient(*m_server)
                 .put("/api/workspace", m_server->token(id).toStdString(),
                      JSON::object({{"revision", saved["revision"]}, {"workspace", workspace}}))
                 .status,
             200);
    QVERIFY(m_server->setListLayout(
        id, QString::fromStdString(showcase),
        R"({"b04":{"indent":0},"b05":{"indent":4},"b06":{"number":1},"b07":{"number":2}})"));

    // Reloaded, opened, read: the picture's preview arrives, lists are numbered by the import.
    QCOMPARE(m_driver.click(QStringLiteral("refreshButton")), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.state()[QStringLiteral("pages")].toArray().size(), 4,
                              longWait);
    QVERIFY(!m_driver.send(QStringLiteral("select ") + QString::fromStdString(showcase))
                 .contains(QStringLiteral("error")));
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("attachmentPreview")), longWait);
    QVERIFY(m_driver.visible(QStringLiteral("pageImport")));
    QVERIFY(m_driver.visible(QStringLiteral("nativeTable")));
    picture(QStringLiteral("grab -"), QStringLiteral("06-page-window.png"));
    picture(QStringLiteral("render pageCanvas"), QStringLiteral("07-page-reading.png"));
    picture(QStringLiteral("render nativeTable"), QStringLiteral("08-table.png"));
    picture(QStringLiteral("render attachmentView"), QStringLiteral("09-attachment.png"));

    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("addBlock")), longWait);
    picture(QStringLiteral("render pageCanvas"), QStringLiteral("10-page-editing.png"));
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());

    // The page link opens the board, for reading and then for editing.
    QCOMPARE(m_driver.click(QStringLiteral("pageLink")), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.state()[QStringLiteral("selection")].toString(),
                              QString::fromStdString(board), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("boardCard")), longWait);
    picture(QStringLiteral("render pageCanvas"), QStringLiteral("11-board-reading.png"));
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    picture(QStringLiteral("render pageCanvas"), QStringLiteral("12-board-editing.png"));
    QVERIFY(!m_driver.state()[QStringLiteral("dirty")].toBool());
}

void EndToEndTest::importAnExport()
{
    const std::string home = "Roadmap 0123456789abcdef0123456789abcdef";
    const std::string plan = "Q3 plan 11111111111111111111111111111111";
    const QString archive = m_root.filePath(QStringLiteral("Notion Export.zip"));
    ZipWriter zip(archive.toStdString());
    zip.add(home + ".md", "# Roadmap\n\nWhere the product goes this year.\n\n"
                          "- Ship the importer\n- Record every meeting\n\n"
                          "[Q3 plan](Roadmap%200123456789abcdef0123456789abcdef/"
                          "Q3%20plan%2011111111111111111111111111111111.md)\n\n"
                          "[Old notes](Old%20notes%2022222222222222222222222222222222.md)\n");
    zip.add(home + "/" + plan + ".md",
            "# Q3 plan\n\n1. Draft\n2. Review\n\n![chart](Q3%20plan/chart.png)\n");
    zip.close();

    const QString none;
    QCOMPARE(m_driver.send(QStringLiteral("pick ") + archive)[QStringLiteral("error")].toString(),
             none);
    QCOMPARE(m_driver.click(QStringLiteral("importNotion")), none);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    QVERIFY2(m_driver.visible(QStringLiteral("importSheet")),
             qPrintable(m_driver.state()[QStringLiteral("message")].toString()));
    QCOMPARE(m_driver.text(QStringLiteral("archiveName")), QStringLiteral("Notion Export.zip"));
    const QString warnings = m_driver.text(QStringLiteral("warnings"));
    QVERIFY2(warnings.startsWith(QStringLiteral("Warnings: ")) &&
                 warnings.contains(QStringLiteral("unresolvedLink")),
             qPrintable(warnings));
    QVERIFY(!m_driver.send(QStringLiteral("type folderName Product"))
                 .contains(QStringLiteral("error")));
    picture(QStringLiteral("render importSheet"), QStringLiteral("18-import-sheet.png"));

    const qsizetype before = m_driver.state()[QStringLiteral("pages")].toArray().size();
    QCOMPARE(m_driver.click(QStringLiteral("commitImport")), none);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.visible(QStringLiteral("importSheet")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    const QJsonObject state = m_driver.state();
    QCOMPARE(state[QStringLiteral("message")].toString(), none);
    QVERIFY(!state[QStringLiteral("dirty")].toBool());
    QString roadmap;
    bool folder = false;
    for (const QJsonValue page : state[QStringLiteral("pages")].toArray()) {
        const QString title = page[QStringLiteral("title")].toString();
        folder = folder || title == QStringLiteral("Product");
        if (title == QStringLiteral("Roadmap"))
            roadmap = page[QStringLiteral("id")].toString();
    }
    QVERIFY(folder && !roadmap.isEmpty());
    QCOMPARE(state[QStringLiteral("pages")].toArray().size(), before + 3);
    QCOMPARE(m_driver.send(QStringLiteral("select ") + roadmap)[QStringLiteral("error")].toString(),
             none);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("pageCanvas")), longWait);
    picture(QStringLiteral("grab -"), QStringLiteral("19-imported-page.png"));
}

void EndToEndTest::recordAMeeting()
{
    if (!qEnvironmentVariableIsSet("PULSE_SERVER"))
        QFAIL("no sound server: run this inside scripts/with-sound (scripts/test does)");
    const QString speech = m_root.filePath(QStringLiteral("speech.wav"));
    QCOMPARE(QProcess::execute(QStringLiteral("espeak-ng"),
                               {QStringLiteral("-v"), QStringLiteral("en-us+klatt"),
                                QStringLiteral("-w"), speech,
                                QStringLiteral("The budget meeting starts on Monday morning.")}),
             0);
    QVERIFY(!m_driver.send(QStringLiteral("select @meetings")).contains(QStringLiteral("error")));
    QCOMPARE(m_driver.click(QStringLiteral("newMeeting")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("recordingPanel")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    picture(QStringLiteral("render recordingPanel"), QStringLiteral("13-recording-idle.png"));

    // Recording starts after the notice; the microphone's level moves with the voice.
    QCOMPARE(m_driver.click(QStringLiteral("recordMeeting")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("startRecording")), longWait);
    QCOMPARE(m_driver.click(QStringLiteral("startRecording")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("stopAndSave")), longWait);
    QProcess voice;
    voice.start(QStringLiteral("paplay"), {QStringLiteral("--device=micsink"), speech});
    // The picture is taken while the voice speaks, so that its level shows.
    QVERIFY(voice.waitForStarted(longWait));
    QTest::qWait(1500);
    picture(QStringLiteral("render recordingPanel"), QStringLiteral("14-recording.png"));
    QVERIFY(voice.waitForFinished(longWait) && voice.exitCode() == 0);
    QCOMPARE(m_driver.click(QStringLiteral("signOut")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("signOutConfirmation")), longWait);
    QVERIFY(!m_driver.widget(QStringLiteral("confirmSignOut"))[QStringLiteral("enabled")].toBool());
    QCOMPARE(m_driver.click(QStringLiteral("cancelSignOut")), QString());

    // Stopped, mixed, uploaded: the card of the recording, then its transcript.
    QCOMPARE(m_driver.click(QStringLiteral("stopAndSave")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("playRecording")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
    picture(QStringLiteral("render recordingPanel"), QStringLiteral("15-recordings.png"));
    QCOMPARE(m_driver.click(QStringLiteral("transcribe")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (m_driver.visible(QStringLiteral("transcriptSegments")))
                return true;
            m_driver.click(QStringLiteral("viewTranscript"));
            return false;
        }(),
        4 * longWait);
    picture(QStringLiteral("render recordingPanel"), QStringLiteral("16-transcript.png"));
}

void EndToEndTest::aNewAccountSignsInIsApprovedWritesAPageAndSignsOut()
{
    QCOMPARE(storedSession(), SecretStore::Outcome::NotFound);
    m_client.setProcessEnvironment(clientEnvironment());
    m_client.setProcessChannelMode(QProcess::ForwardedChannels);
    m_client.start(QStringLiteral(QUORVALE_CLIENT), QStringList());
    QVERIFY(m_client.waitForStarted(longWait));
    QVERIFY(m_driver.connectTo(m_root.filePath(QStringLiteral("driver"))));

    // The access screen, in Spanish by default; English chosen there.
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("continueWithMicrosoft")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("continueWithMicrosoft")),
             QStringLiteral("Continuar con Microsoft"));
    QCOMPARE(m_driver.text(QStringLiteral("serverHost")), QStringLiteral("localhost"));
    QVERIFY(!m_driver.visible(QStringLiteral("cancelSignIn")));
    picture(QStringLiteral("grab -"), QStringLiteral("01-access.png"));
    QVERIFY(!m_driver.send(QStringLiteral("choose languagePicker en"))
                 .contains(QStringLiteral("error")));
    QCOMPARE(m_driver.text(QStringLiteral("continueWithMicrosoft")),
             QStringLiteral("Continue with Microsoft"));

    // Signing in: the browser opens the server's page; the user fills it in.
    QCOMPARE(m_driver.click(QStringLiteral("continueWithMicrosoft")), QString());
    QFile opened(m_root.filePath(QStringLiteral("opened")));
    QTRY_VERIFY_WITH_TIMEOUT(opened.exists() && opened.size() > 0, longWait);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    const QUrl login(QString::fromUtf8(opened.readLine().trimmed()));
    QCOMPARE(login.path(), QStringLiteral("/auth/login"));
    QCOMPARE(login.port(), m_server->port());
    QVERIFY(QUrlQuery(login).hasQueryItem(QStringLiteral("challenge")));
    QVERIFY(m_driver.state()[QStringLiteral("busy")].toBool());
    QVERIFY(m_driver.visible(QStringLiteral("cancelSignIn")));
    QString browserError;
    const QUrl callback = m_server->signInWithBrowser(
        login, QStringLiteral("Nora Díaz"), QStringLiteral("nora@example.test"), &browserError);
    QVERIFY2(callback.isValid(), qPrintable(browserError));

    // The desktop hands the callback to a second start, which passes it on and ends.
    QProcess second;
    second.setProcessEnvironment(clientEnvironment());
    second.start(QStringLiteral(QUORVALE_CLIENT), {callback.toString(QUrl::FullyEncoded)});
    QVERIFY(second.waitForFinished(longWait));
    QCOMPARE(second.exitCode(), 0);

    // Waiting for approval.
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("waitingPanel")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("accessStatus")),
             QStringLiteral("Access status: pending"));
    QCOMPARE(m_driver.text(QStringLiteral("accountEmail")), QStringLiteral("nora@example.test"));
    QCOMPARE(storedSession(), SecretStore::Outcome::Found);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    picture(QStringLiteral("grab -"), QStringLiteral("02-waiting.png"));

    // Approved by the operator: the workspace appears by itself, on the meetings list.
    const QString id = accountId(QStringLiteral("nora@example.test"));
    QVERIFY(!id.isEmpty());
    QVERIFY(m_server->setStatus(id, QStringLiteral("approve")));
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("workspace")), longWait);
    QVERIFY(m_driver.state()[QStringLiteral("approved")].toBool());
    QCOMPARE(m_driver.state()[QStringLiteral("selection")].toString(), QStringLiteral("@meetings"));
    QVERIFY(m_driver.visible(QStringLiteral("meetingsView")));
    QVERIFY(!m_driver.visible(QStringLiteral("saveButton")));
    picture(QStringLiteral("grab -"), QStringLiteral("03-meetings.png"));

    // A page, from the File menu; renamed in its title field; saved from the toolbar.
    QCOMPARE(m_driver.click(QStringLiteral("saveAction")),
             QStringLiteral("saveAction is disabled"));
    QCOMPARE(m_driver.click(QStringLiteral("newPageAction")), QString());
    QJsonObject state = m_driver.state();
    QCOMPARE(state[QStringLiteral("pages")].toArray().size(), 1);
    QVERIFY(state[QStringLiteral("dirty")].toBool());
    QCOMPARE(m_driver.text(QStringLiteral("pageTitleLabel")), QStringLiteral("Untitled"));
    QCOMPARE(m_driver.text(QStringLiteral("saveStatusText")), QStringLiteral("Unsaved changes"));
    QVERIFY(!m_driver.widget(QStringLiteral("refreshButton"))[QStringLiteral("enabled")].toBool());
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    QVERIFY(!m_driver.send(QStringLiteral("type pageTitle Launch plan"))
                 .contains(QStringLiteral("error")));
    state = m_driver.state();
    QCOMPARE(state[QStringLiteral("pages")].toArray().at(0)[QStringLiteral("title")].toString(),
             QStringLiteral("Launch plan"));
    picture(QStringLiteral("grab -"), QStringLiteral("04-page.png"));

    QCOMPARE(m_driver.click(QStringLiteral("saveButton")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("dirty")].toBool(), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.state()[QStringLiteral("busy")].toBool(), longWait);
    QVERIFY(!m_driver.visible(QStringLiteral("saveStatus")));
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
    const JSON saved =
        HttpsClient(*m_server).get("/api/workspace", m_server->token(id).toStdString()).json();
    QCOMPARE(saved["revision"].integerValue(), 1);
    QCOMPARE(saved["workspace"]["pages"].at(0)["title"].stringValue(),
             std::string_view("Launch plan"));

    readImportedPages(id, saved);
    importAnExport();
    recordAMeeting();
    administerAccounts(id);

    // Signing out asks first; then the access screen, and no session left in the keyring.
    QCOMPARE(m_driver.click(QStringLiteral("signOut")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("signOutConfirmation")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("signOutConfirmation")),
             QStringLiteral("Sign out? Save your changes first."));
    picture(QStringLiteral("grab -"), QStringLiteral("05-sign-out.png"));
    QCOMPARE(m_driver.click(QStringLiteral("confirmSignOut")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("continueWithMicrosoft")), longWait);
    QVERIFY(!m_driver.state()[QStringLiteral("signedIn")].toBool());
    QCOMPARE(storedSession(), SecretStore::Outcome::NotFound);

    QVERIFY(!m_driver.send(QStringLiteral("quit")).contains(QStringLiteral("error")));
    QVERIFY(m_client.waitForFinished(longWait));
    QCOMPARE(m_client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_client.exitCode(), 0);
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e_workspace.moc"
