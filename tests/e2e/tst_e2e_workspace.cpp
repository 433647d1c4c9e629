// One whole day in the real window: sign in through the browser, approve a newcomer, write a
// page and a board, record a meeting and read its transcript, import a Notion export, settle a
// conflict with another client, get a draft back after a crash, sign out and in again.
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
        m_socket.abort(); // a client killed before may have left it half-open
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

    // The error of a command; empty when it went through.
    QString run(const QString &command)
    {
        return send(command)[QStringLiteral("error")].toString();
    }
    QJsonObject state() { return send(QStringLiteral("state")); }
    bool is(const char *flag) { return state()[QLatin1String(flag)].toBool(); }
    QJsonObject widget(const QString &name) { return send(QStringLiteral("widget ") + name); }
    bool visible(const QString &name) { return widget(name)[QStringLiteral("visible")].toBool(); }
    QString text(const QString &name) { return widget(name)[QStringLiteral("text")].toString(); }
    QString click(const QString &name) { return run(QStringLiteral("click ") + name); }
    // The id of the page with this title, as the window lists it.
    QString page(const QString &title)
    {
        for (const QJsonValue page : state()[QStringLiteral("pages")].toArray()) {
            if (page[QStringLiteral("title")].toString() == title)
                return page[QStringLiteral("id")].toString();
        }
        return {};
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
    void aWholeDay();

private:
    QProcessEnvironment clientEnvironment() const;
    // Starts the client and connects the driver to it.
    void startClient();
    // Signs in through the browser and the desktop's hand-over to a second start.
    void signIn(const QString &name, const QString &email);
    // The account as the operator's command line lists it.
    JSON account(const QString &email);
    // Saves a picture the driver takes: "grab -", the screen where the main window is, or
    // "render <widget>", the whole named widget, scrolled-out parts too.
    void picture(const QString &command, const QString &file);
    // The steps of the day, each on what the ones before left. Promoted by the operator, the
    // user approves a newcomer who signed up, in the window.
    void administerAccounts();
    // A page with blocks and a board whose card moves to another column, saved.
    void writePageAndBoard();
    // Pages of every kind, as an import leaves them, read and edited in the window.
    void readImportedPages();
    // A Notion export brought in through the import sheet, under a folder named there.
    void importAnExport();
    // Records a meeting through the window: the sound server plays a voice into the microphone.
    void recordAMeeting();
    // Another program saves first; the window's copy is exported, then the server's is loaded.
    void resolveAConflict();
    // Killed mid-edit and started again, the client shows the unsaved edit from its draft.
    void recoverAfterACrash();

    QTemporaryDir m_root;
    std::unique_ptr<ReferenceServer> m_server;
    QProcess m_client;
    Driver m_driver;
    QString m_id; // the user's account
    JSON m_saved; // the workspace as the first save left it
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

JSON EndToEndTest::account(const QString &email)
{
    const QList<QByteArray> lines =
        m_server->cli({QStringLiteral("account"), QStringLiteral("list")}).split('\n');
    for (const QByteArray &line : lines) {
        JSON account = JSON::decode(line.toStdString());
        if (account["email"].stringValue() == email.toStdString())
            return account;
    }
    return {};
}

void EndToEndTest::administerAccounts()
{
    const QString &id = m_id;
    // The newcomer signs up in a browser of her own.
    const QUrl login = m_server->loginUrl(QString(43, u'c'), QStringLiteral("lucia"));
    QString error;
    QVERIFY2(m_server
                 ->signInWithBrowser(login, QStringLiteral("Lucía Pérez"),
                                     QStringLiteral("lucia@example.test"), &error)
                 .isValid(),
             qPrintable(error));
    QVERIFY(m_server->promote(id));
    // The periodic account check notices the role and brings the accounts.
    QCOMPARE(m_driver.run(QStringLiteral("select @admin")), QString());
    const QString row = QStringLiteral("lucia@example.test/");
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text(row + QStringLiteral("status")),
                              QStringLiteral("pending"), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("retryNotifications")),
             QStringLiteral("Retry pending notifications"));
    picture(QStringLiteral("grab -"), QStringLiteral("17-administration.png"));
    QCOMPARE(m_driver.click(row + QStringLiteral("approve")), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text(row + QStringLiteral("status")),
                              QStringLiteral("approved"), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("nora@example.test/status")), QStringLiteral("approved"));
    QCOMPARE(account(QStringLiteral("lucia@example.test"))["status"].stringValue(),
             std::string_view("approved"));
    picture(QStringLiteral("grab -"), QStringLiteral("20-approved.png"));
    QCOMPARE(m_driver.click(QStringLiteral("retryNotifications")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
}

void EndToEndTest::writePageAndBoard()
{
    const QString &id = m_id;
    // A page, from the File menu; renamed in its title field; blocks from the add menu.
    QCOMPARE(m_driver.click(QStringLiteral("saveAction")),
             QStringLiteral("saveAction is disabled"));
    QCOMPARE(m_driver.click(QStringLiteral("newPageAction")), QString());
    QVERIFY(m_driver.is("dirty"));
    QCOMPARE(m_driver.text(QStringLiteral("pageTitleLabel")), QStringLiteral("Untitled"));
    QCOMPARE(m_driver.text(QStringLiteral("saveStatusText")), QStringLiteral("Unsaved changes"));
    QVERIFY(!m_driver.widget(QStringLiteral("refreshButton"))[QStringLiteral("enabled")].toBool());
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("type pageTitle Launch plan")), QString());
    // A new page starts with one empty paragraph.
    QCOMPARE(m_driver.run(QStringLiteral("type blockText Notes for the week")), QString());
    const char *blocks[][2] = {{"h1", "Agenda"}, {"bullet", "Budget"}, {"todo", "Book the room"}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_driver.click(QStringLiteral("addBlock/") + QLatin1String(blocks[i][0])),
                 QString());
        QCOMPARE(m_driver.run(QStringLiteral("type blockText#%1 %2").arg(i + 2).arg(blocks[i][1])),
                 QString());
    }
    picture(QStringLiteral("grab -"), QStringLiteral("04-page.png"));

    // A board from the sidebar: a card added to the first column, then moved to the second.
    QCOMPARE(m_driver.click(QStringLiteral("newBoard")), QString());
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("type pageTitle Week")), QString());
    QCOMPARE(m_driver.click(QStringLiteral("addCard")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("type cardTitle Send the invitations")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("choose cardStatus En curso")), QString());
    picture(QStringLiteral("render pageCanvas"), QStringLiteral("21-board.png"));

    QCOMPARE(m_driver.click(QStringLiteral("saveButton")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("dirty"), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
    QVERIFY(!m_driver.visible(QStringLiteral("saveStatus")));
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
    const JSON &saved = m_saved =
        HttpsClient(*m_server).get("/api/workspace", m_server->token(id).toStdString()).json();
    QCOMPARE(saved["revision"].integerValue(), 1);
    const JSON &page = saved["workspace"]["pages"].at(0);
    QCOMPARE(page["title"].stringValue(), std::string_view("Launch plan"));
    QCOMPARE(page["blocks"].size(), 4U);
    QCOMPARE(page["blocks"].at(1)["type"].stringValue(), std::string_view("h1"));
    QCOMPARE(page["blocks"].at(3)["type"].stringValue(), std::string_view("todo"));
    QCOMPARE(page["blocks"].at(3)["text"].stringValue(), std::string_view("Book the room"));
    const JSON &card = saved["workspace"]["pages"].at(1)["cards"].at(0);
    QCOMPARE(card["title"].stringValue(), std::string_view("Send the invitations"));
    QCOMPARE(card["status"].stringValue(), std::string_view("En curso"));
}

void EndToEndTest::resolveAConflict()
{
    const QString &id = m_id;
    const QString plan = m_driver.page(QStringLiteral("Launch plan"));
    QCOMPARE(m_driver.run(QStringLiteral("select ") + plan), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("pageEdit")), longWait);
    QCOMPARE(m_driver.click(QStringLiteral("pageEdit")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("type blockText Notes from the laptop")), QString());

    // Another program with the same account saves a newer revision first.
    HttpsClient other(*m_server);
    const std::string token = m_server->token(id).toStdString();
    JSON saved = other.get("/api/workspace", token).json();
    JSON workspace = saved["workspace"];
    for (JSON &page : workspace.member("pages").elements()) {
        if (page.id() == plan.toStdString())
            page.member("blocks").elements().at(0).set("text", "Notes from the phone");
    }
    QCOMPARE(other
                 .put("/api/workspace", token,
                      JSON::object({{"revision", saved["revision"]}, {"workspace", workspace}}))
                 .status,
             200);

    QCOMPARE(m_driver.click(QStringLiteral("saveButton")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.is("conflict"), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("messageAlert")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("saveStatusText")),
             QStringLiteral("Conflict: keep your copy"));
    picture(QStringLiteral("grab -"), QStringLiteral("22-conflict.png"));
    QCOMPARE(m_driver.click(QStringLiteral("messageAlert/OK")), QString());

    const QString backup = m_root.filePath(QStringLiteral("my copy.json"));
    QCOMPARE(m_driver.run(QStringLiteral("pick ") + backup), QString());
    QCOMPARE(m_driver.click(QStringLiteral("exportAndReloadButton")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy") && !m_driver.is("dirty"), longWait);
    QVERIFY(!m_driver.is("conflict"));
    QFile copy(backup);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll().contains("Notes from the laptop"));
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text(QStringLiteral("blockText")),
                              QStringLiteral("Notes from the phone"), longWait);
    picture(QStringLiteral("grab -"), QStringLiteral("23-reloaded.png"));
}

void EndToEndTest::recoverAfterACrash()
{
    QVERIFY(m_driver.visible(QStringLiteral("addBlock")));
    QCOMPARE(m_driver.run(QStringLiteral("type blockText#2 Agenda, kept through a crash")),
             QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.is("kept"), longWait);
    m_client.kill();
    QVERIFY(m_client.waitForFinished(longWait));
    QCOMPARE(m_client.exitStatus(), QProcess::CrashExit);

    // The socket of the killed one is still there, and never listened over.
    QVERIFY(QFile::remove(m_root.filePath(QStringLiteral("driver"))));
    startClient();
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("workspace")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("messageAlert")), longWait);
    QVERIFY(m_driver.text(QStringLiteral("messageAlert")).contains(QStringLiteral("recovered")));
    QVERIFY(m_driver.is("dirty"));
    QCOMPARE(m_driver.click(QStringLiteral("messageAlert/OK")), QString());
    QCOMPARE(m_driver.run(QStringLiteral("select ") + m_driver.page(QStringLiteral("Launch plan"))),
             QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.text(QStringLiteral("blockText#2"))
                                 .contains(QStringLiteral("Agenda, kept through a crash")),
                             longWait);
    QCOMPARE(m_driver.text(QStringLiteral("saveStatusText")), QStringLiteral("Unsaved changes"));
    picture(QStringLiteral("grab -"), QStringLiteral("24-draft-recovered.png"));
    QCOMPARE(m_driver.click(QStringLiteral("saveButton")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("dirty") && !m_driver.is("busy"), longWait);
    QCOMPARE(m_driver.state()[QStringLiteral("message")].toString(), QString());
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

void EndToEndTest::readImportedPages()
{
    const QString &id = m_id;
    const JSON &saved = m_saved;
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
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.state()[QStringLiteral("pages")].toArray().size(), 5,
                              longWait);
    QCOMPARE(m_driver.run(QStringLiteral("select ") + QString::fromStdString(showcase)), QString());
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
    QVERIFY(!m_driver.is("dirty"));
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
    QCOMPARE(m_driver.run(QStringLiteral("pick ") + archive), none);
    QCOMPARE(m_driver.click(QStringLiteral("importNotion")), none);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
    QVERIFY2(m_driver.visible(QStringLiteral("importSheet")),
             qPrintable(m_driver.state()[QStringLiteral("message")].toString()));
    QCOMPARE(m_driver.text(QStringLiteral("archiveName")), QStringLiteral("Notion Export.zip"));
    const QString warnings = m_driver.text(QStringLiteral("warnings"));
    QVERIFY2(warnings.startsWith(QStringLiteral("Warnings: ")) &&
                 warnings.contains(QStringLiteral("unresolvedLink")),
             qPrintable(warnings));
    QCOMPARE(m_driver.run(QStringLiteral("type folderName Product")), none);
    picture(QStringLiteral("render importSheet"), QStringLiteral("18-import-sheet.png"));

    const qsizetype before = m_driver.state()[QStringLiteral("pages")].toArray().size();
    QCOMPARE(m_driver.click(QStringLiteral("commitImport")), none);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.visible(QStringLiteral("importSheet")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
    const QJsonObject state = m_driver.state();
    QCOMPARE(state[QStringLiteral("message")].toString(), none);
    QVERIFY(!state[QStringLiteral("dirty")].toBool());
    const QString roadmap = m_driver.page(QStringLiteral("Roadmap"));
    QVERIFY(!m_driver.page(QStringLiteral("Product")).isEmpty() && !roadmap.isEmpty());
    QCOMPARE(state[QStringLiteral("pages")].toArray().size(), before + 3);
    QCOMPARE(m_driver.run(QStringLiteral("select ") + roadmap), none);
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("pageCanvas")), longWait);
    picture(QStringLiteral("grab -"), QStringLiteral("19-imported-page.png"));
}

void EndToEndTest::recordAMeeting()
{
    if (!qEnvironmentVariableIsSet("PULSE_SERVER"))
        QFAIL("no sound server: run this inside scripts/with-sound (scripts/test does)");
    const QString speech = m_root.filePath(QStringLiteral("speech.wav"));
    // The voice and words the server's own engine recognises best.
    QCOMPARE(QProcess::execute(
                 QStringLiteral("espeak-ng"),
                 {QStringLiteral("-v"), QStringLiteral("en-us+klatt"), QStringLiteral("-s"),
                  QStringLiteral("175"), QStringLiteral("-p"), QStringLiteral("50"),
                  QStringLiteral("-w"), speech,
                  QStringLiteral("The quarterly budget meeting starts on Monday morning. Please "
                                 "bring the sales report.")}),
             0);
    QCOMPARE(m_driver.run(QStringLiteral("select @meetings")), QString());
    QCOMPARE(m_driver.click(QStringLiteral("newMeeting")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("recordingPanel")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
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
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text(QStringLiteral("transcriptStatus")),
                              QStringLiteral("completed"), longWait);
    const QString heard =
        m_driver.widget(QStringLiteral("transcriptSegments"))[QStringLiteral("shown")]
            .toString()
            .toLower();
    int words = 0;
    for (const char *word : {"budget", "meeting", "starts", "monday", "sales", "report"})
        words += heard.contains(QLatin1String(word));
    QVERIFY2(words >= 2, qPrintable(heard));
    picture(QStringLiteral("render recordingPanel"), QStringLiteral("16-transcript.png"));
}

void EndToEndTest::startClient()
{
    m_client.setProcessEnvironment(clientEnvironment());
    m_client.setProcessChannelMode(QProcess::ForwardedChannels);
    m_client.start(QStringLiteral(QUORVALE_CLIENT), QStringList());
    QVERIFY(m_client.waitForStarted(longWait));
    QVERIFY(m_driver.connectTo(m_root.filePath(QStringLiteral("driver"))));
}

void EndToEndTest::signIn(const QString &name, const QString &email)
{
    // The browser opens the server's page; the user fills it in.
    QFile opened(m_root.filePath(QStringLiteral("opened")));
    const qint64 before = opened.size();
    QCOMPARE(m_driver.click(QStringLiteral("continueWithMicrosoft")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(opened.size() > before, longWait);
    QVERIFY(opened.open(QIODevice::ReadOnly) && opened.seek(before));
    const QUrl login(QString::fromUtf8(opened.readLine().trimmed()));
    QCOMPARE(login.path(), QStringLiteral("/auth/login"));
    QCOMPARE(login.port(), m_server->port());
    QVERIFY(QUrlQuery(login).hasQueryItem(QStringLiteral("challenge")));
    QVERIFY(m_driver.is("busy"));
    QVERIFY(m_driver.visible(QStringLiteral("cancelSignIn")));
    QString browserError;
    const QUrl callback = m_server->signInWithBrowser(login, name, email, &browserError);
    QVERIFY2(callback.isValid(), qPrintable(browserError));

    // The desktop hands the callback to a second start, which passes it on and ends.
    QProcess second;
    second.setProcessEnvironment(clientEnvironment());
    second.start(QStringLiteral(QUORVALE_CLIENT), {callback.toString(QUrl::FullyEncoded)});
    QVERIFY(second.waitForFinished(longWait));
    QCOMPARE(second.exitCode(), 0);
}

void EndToEndTest::aWholeDay()
{
    QCOMPARE(storedSession(), SecretStore::Outcome::NotFound);
    startClient();

    // The access screen, in Spanish by default; English chosen there.
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("continueWithMicrosoft")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("continueWithMicrosoft")),
             QStringLiteral("Continuar con Microsoft"));
    QCOMPARE(m_driver.text(QStringLiteral("serverHost")), QStringLiteral("localhost"));
    QVERIFY(!m_driver.visible(QStringLiteral("cancelSignIn")));
    picture(QStringLiteral("grab -"), QStringLiteral("01-access.png"));
    QCOMPARE(m_driver.run(QStringLiteral("choose languagePicker en")), QString());
    QCOMPARE(m_driver.text(QStringLiteral("continueWithMicrosoft")),
             QStringLiteral("Continue with Microsoft"));
    signIn(QStringLiteral("Nora Díaz"), QStringLiteral("nora@example.test"));

    // Waiting for approval.
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("waitingPanel")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("accessStatus")),
             QStringLiteral("Access status: pending"));
    QCOMPARE(m_driver.text(QStringLiteral("accountEmail")), QStringLiteral("nora@example.test"));
    QCOMPARE(storedSession(), SecretStore::Outcome::Found);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.is("busy"), longWait);
    picture(QStringLiteral("grab -"), QStringLiteral("02-waiting.png"));

    // Approved by the operator: the workspace appears by itself, on the meetings list.
    const QString &id = m_id =
        QString::fromStdString(std::string(account(QStringLiteral("nora@example.test")).id()));
    QVERIFY(!id.isEmpty());
    QVERIFY(m_server->setStatus(id, QStringLiteral("approve")));
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("workspace")), longWait);
    QVERIFY(m_driver.is("approved"));
    QCOMPARE(m_driver.state()[QStringLiteral("selection")].toString(), QStringLiteral("@meetings"));
    QVERIFY(m_driver.visible(QStringLiteral("meetingsView")));
    QVERIFY(!m_driver.visible(QStringLiteral("saveButton")));
    picture(QStringLiteral("grab -"), QStringLiteral("03-meetings.png"));

    for (void (EndToEndTest::*step)() :
         {&EndToEndTest::administerAccounts, &EndToEndTest::writePageAndBoard,
          &EndToEndTest::readImportedPages, &EndToEndTest::recordAMeeting,
          &EndToEndTest::importAnExport, &EndToEndTest::resolveAConflict,
          &EndToEndTest::recoverAfterACrash}) {
        (this->*step)();
        if (QTest::currentTestFailed())
            return;
    }

    // Signing out asks first; then the access screen, and no session left in the keyring.
    QCOMPARE(m_driver.click(QStringLiteral("signOut")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("signOutConfirmation")), longWait);
    QCOMPARE(m_driver.text(QStringLiteral("signOutConfirmation")),
             QStringLiteral("Sign out? Save your changes first."));
    picture(QStringLiteral("grab -"), QStringLiteral("05-sign-out.png"));
    QCOMPARE(m_driver.click(QStringLiteral("confirmSignOut")), QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("continueWithMicrosoft")), longWait);
    QVERIFY(!m_driver.is("signedIn"));
    QCOMPARE(storedSession(), SecretStore::Outcome::NotFound);

    // Signed in again, the workspace is there as it was saved.
    signIn(QStringLiteral("Nora Díaz"), QStringLiteral("nora@example.test"));
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.visible(QStringLiteral("workspace")), longWait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_driver.page(QStringLiteral("Launch plan")).isEmpty(), longWait);
    QCOMPARE(m_driver.run(QStringLiteral("select ") + m_driver.page(QStringLiteral("Launch plan"))),
             QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_driver.text(QStringLiteral("blockText#2"))
                                 .contains(QStringLiteral("Agenda, kept through a crash")),
                             longWait);
    QCOMPARE(m_driver.state()[QStringLiteral("pages")].toArray().size(), 9);
    picture(QStringLiteral("grab -"), QStringLiteral("25-signed-in-again.png"));

    QCOMPARE(m_driver.run(QStringLiteral("quit")), QString());
    QVERIFY(m_client.waitForFinished(longWait));
    QCOMPARE(m_client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_client.exitCode(), 0);
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e_workspace.moc"
