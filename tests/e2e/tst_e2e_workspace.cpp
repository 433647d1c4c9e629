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
#include "support/driver.h"
#include "support/httpsclient.h"
#include "support/referenceserver.h"
#include "support/zipwriter.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace quorvale;
using namespace quorvale::test;

namespace {

constexpr int longWait = 30000;

// The session item the client keeps in the keyring, as the keyring tells it.
SecretStore::Outcome storedSession()
{
    return SecretStore::system()->find("mx.qvl.quorvale.session", "session").outcome;
}

} // namespace

// A driver command that must go through, and a condition the window must reach.
#define DRIVE(command) QCOMPARE(m_driver.command, QString())
#define AWAIT(condition) QTRY_VERIFY_WITH_TIMEOUT(condition, longWait)

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
    // The user's workspace as the server has it, and another program's save over it.
    JSON stored();
    int store(const JSON &saved, const JSON &workspace);
    // Saves a picture the driver takes: "grab -", the screen where the main window is, or
    // "render <widget>", the whole named widget, scrolled-out parts too.
    void picture(const char *command, const char *file);
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
    QProcessEnvironment env =
        test::clientEnvironment(m_root.path(), m_root.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
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

JSON EndToEndTest::stored()
{
    return HttpsClient(*m_server).get("/api/workspace", m_server->token(m_id).toStdString()).json();
}

int EndToEndTest::store(const JSON &saved, const JSON &workspace)
{
    const JSON body = JSON::object({{"revision", saved["revision"]}, {"workspace", workspace}});
    return HttpsClient(*m_server)
        .put("/api/workspace", m_server->token(m_id).toStdString(), body)
        .status;
}

void EndToEndTest::administerAccounts()
{
    // The newcomer signs up in a browser of her own.
    const QUrl login = m_server->loginUrl(QString(43, u'c'), QStringLiteral("lucia"));
    QString error;
    QVERIFY2(m_server
                 ->signInWithBrowser(login, QStringLiteral("Lucía Pérez"),
                                     QStringLiteral("lucia@example.test"), &error)
                 .isValid(),
             qPrintable(error));
    QVERIFY(m_server->promote(m_id));
    // The periodic account check notices the role and brings the accounts.
    DRIVE(run("select @admin"));
    const QString row = QStringLiteral("lucia@example.test/");
    AWAIT(m_driver.text(row + QStringLiteral("status")) == QLatin1String("pending"));
    QCOMPARE(m_driver.text("retryNotifications"), QStringLiteral("Retry pending notifications"));
    picture("grab -", "17-administration.png");
    DRIVE(click(row + QStringLiteral("approve")));
    AWAIT(m_driver.text(row + QStringLiteral("status")) == QLatin1String("approved"));
    QCOMPARE(m_driver.text("nora@example.test/status"), QStringLiteral("approved"));
    QCOMPARE(account(QStringLiteral("lucia@example.test"))["status"].stringValue(),
             std::string_view("approved"));
    picture("grab -", "20-approved.png");
    DRIVE(click("retryNotifications"));
    AWAIT(!m_driver.is("busy"));
    QCOMPARE(m_driver.message(), QString());
}

void EndToEndTest::writePageAndBoard()
{
    // A page, from the File menu; renamed in its title field; blocks from the add menu.
    QCOMPARE(m_driver.click("saveAction"), QStringLiteral("saveAction is disabled"));
    DRIVE(click("newPageAction"));
    QVERIFY(m_driver.is("dirty"));
    QCOMPARE(m_driver.text("pageTitleLabel"), QStringLiteral("Untitled"));
    QCOMPARE(m_driver.text("saveStatusText"), QStringLiteral("Unsaved changes"));
    QVERIFY(!m_driver.widget("refreshButton")[QStringLiteral("enabled")].toBool());
    DRIVE(click("pageEdit"));
    DRIVE(run("type pageTitle Launch plan"));
    // A new page starts with one empty paragraph.
    DRIVE(run("type blockText Notes for the week"));
    const char *blocks[][2] = {{"h1", "Agenda"}, {"bullet", "Budget"}, {"todo", "Book the room"}};
    for (int i = 0; i < 3; ++i) {
        DRIVE(click(QStringLiteral("addBlock/") + QLatin1String(blocks[i][0])));
        DRIVE(run(QStringLiteral("type blockText#%1 %2").arg(i + 2).arg(blocks[i][1])));
    }
    picture("grab -", "04-page.png");

    // A board from the sidebar: a card added to the first column, then moved to the second.
    DRIVE(click("newBoard"));
    DRIVE(click("pageEdit"));
    DRIVE(run("type pageTitle Week"));
    DRIVE(click("addCard"));
    DRIVE(run("type cardTitle Send the invitations"));
    DRIVE(run("choose cardStatus En curso"));
    picture("render pageCanvas", "21-board.png");

    DRIVE(click("saveButton"));
    AWAIT(!m_driver.is("dirty") && !m_driver.is("busy"));
    QVERIFY(!m_driver.visible("saveStatus"));
    QCOMPARE(m_driver.message(), QString());
    const JSON &saved = m_saved = stored();
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
    const QString plan = m_driver.page(QStringLiteral("Launch plan"));
    DRIVE(run(QStringLiteral("select ") + plan));
    AWAIT(m_driver.visible("pageEdit"));
    DRIVE(click("pageEdit"));
    DRIVE(run("type blockText Notes from the laptop"));

    // Another program with the same account saves a newer revision first.
    const JSON saved = stored();
    JSON workspace = saved["workspace"];
    for (JSON &page : workspace.member("pages").elements()) {
        if (page.id() == plan.toStdString())
            page.member("blocks").elements().at(0).set("text", "Notes from the phone");
    }
    QCOMPARE(store(saved, workspace), 200);

    DRIVE(click("saveButton"));
    AWAIT(m_driver.is("conflict"));
    AWAIT(m_driver.visible("messageAlert"));
    QCOMPARE(m_driver.text("saveStatusText"), QStringLiteral("Conflict: keep your copy"));
    picture("grab -", "22-conflict.png");
    DRIVE(click("messageAlert/OK"));

    const QString backup = m_root.filePath(QStringLiteral("my copy.json"));
    DRIVE(run(QStringLiteral("pick ") + backup));
    DRIVE(click("exportAndReloadButton"));
    AWAIT(!m_driver.is("busy") && !m_driver.is("dirty"));
    QVERIFY(!m_driver.is("conflict"));
    QFile copy(backup);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll().contains("Notes from the laptop"));
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text("blockText"), QStringLiteral("Notes from the phone"),
                              longWait);
    picture("grab -", "23-reloaded.png");
}

void EndToEndTest::recoverAfterACrash()
{
    QVERIFY(m_driver.visible("addBlock"));
    DRIVE(run("type blockText#2 Agenda, kept through a crash"));
    AWAIT(m_driver.is("kept"));
    m_client.kill();
    QVERIFY(m_client.waitForFinished(longWait));
    QCOMPARE(m_client.exitStatus(), QProcess::CrashExit);

    // The socket of the killed one is still there, and never listened over.
    QVERIFY(QFile::remove(m_root.filePath(QStringLiteral("driver"))));
    startClient();
    AWAIT(m_driver.visible("workspace"));
    AWAIT(m_driver.visible("messageAlert"));
    QVERIFY(m_driver.text("messageAlert").contains(QStringLiteral("recovered")));
    QVERIFY(m_driver.is("dirty"));
    DRIVE(click("messageAlert/OK"));
    DRIVE(open(QStringLiteral("Launch plan")));
    AWAIT(m_driver.text("blockText#2").contains(QStringLiteral("Agenda, kept through a crash")));
    QCOMPARE(m_driver.text("saveStatusText"), QStringLiteral("Unsaved changes"));
    picture("grab -", "24-draft-recovered.png");
    DRIVE(click("saveButton"));
    AWAIT(!m_driver.is("dirty") && !m_driver.is("busy"));
    QCOMPARE(m_driver.message(), QString());
}

void EndToEndTest::picture(const char *command, const char *file)
{
    const QString path = m_screenshots.filePath(QLatin1String(file));
    QFile::remove(path);
    const QJsonObject answer = m_driver.send(QLatin1String(command) + u' ' + path);
    QVERIFY2(!answer.contains(QStringLiteral("error")),
             qPrintable(answer[QStringLiteral("error")].toString()));
    // A real picture: its size, and more than one colour in it.
    const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
    const QSize least =
        QByteArrayView(command).startsWith("grab") ? QSize(300, 150) : QSize(100, 40);
    QVERIFY2(!image.isNull() && image.width() >= least.width() && image.height() >= least.height(),
             qPrintable(path));
    QImage blank(image.size(), image.format());
    blank.fill(image.pixel(0, 0));
    QVERIFY2(image != blank, qPrintable(path + QStringLiteral(" is blank")));
}

void EndToEndTest::readImportedPages()
{
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
        m_server->addNotionFile(m_id, batch, QStringLiteral("Assets/Diagrama.PNG"), picturePath);
    QVERIFY(!pictureId.isEmpty());
    QVERIFY(!m_server->addNotionFile(m_id, batch, QStringLiteral("Docs/Informe.pdf"), reportPath)
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
    JSON showcasePage = JSON::decode(
        R"({"title": "Plan de lanzamiento", "icon": "🚀", "kind": "document", "favorite": true})");
    showcasePage.set("id", showcase);
    showcasePage.set("importBatchId", batch.toStdString());
    showcasePage.set("blocks", blocks);
    JSON boardPage = JSON::decode(R"({"title": "Tablero", "icon": "📋", "kind": "board",
        "notionSource": "notion:00112233445566778899aabbccddeeff", "cards": [
        {"id": "k1", "title": "Redactar la nota", "status": "Sin empezar", "priority": "Media", "tag": "prensa"},
        {"id": "k2", "title": "Revisar precios", "status": "En curso", "priority": "Alta", "tag": "ventas"},
        {"id": "k3", "title": "Elegir fecha", "status": "Listo", "priority": "Baja", "tag": ""},
        {"id": "k4", "title": "Preparar demo", "status": "En curso", "priority": "Media", "tag": "producto"}]})");
    boardPage.set("id", board);
    JSON childPage =
        JSON::decode(R"({"title": "Notas de la reunión", "kind": "document", "blocks": []})");
    childPage.set("id", child);
    childPage.set("parentId", showcase);
    JSON workspace = saved["workspace"];
    workspace.member("pages").append(showcasePage);
    workspace.member("pages").append(boardPage);
    workspace.member("pages").append(childPage);
    QCOMPARE(store(saved, workspace), 200);
    QVERIFY(m_server->setListLayout(
        m_id, QString::fromStdString(showcase),
        R"({"b04":{"indent":0},"b05":{"indent":4},"b06":{"number":1},"b07":{"number":2}})"));

    // Reloaded, opened, read: the picture's preview arrives, lists are numbered by the import.
    DRIVE(click("refreshButton"));
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.pages(), 5, longWait);
    DRIVE(run(QStringLiteral("select ") + QString::fromStdString(showcase)));
    AWAIT(m_driver.visible("attachmentPreview"));
    QVERIFY(m_driver.visible("pageImport"));
    QVERIFY(m_driver.visible("nativeTable"));
    picture("grab -", "06-page-window.png");
    picture("render pageCanvas", "07-page-reading.png");
    picture("render nativeTable", "08-table.png");
    picture("render attachmentView", "09-attachment.png");

    DRIVE(click("pageEdit"));
    AWAIT(m_driver.visible("addBlock"));
    picture("render pageCanvas", "10-page-editing.png");
    DRIVE(click("pageEdit"));

    // The page link opens the board, for reading and then for editing.
    DRIVE(click("pageLink"));
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.state("selection").toString(), QString::fromStdString(board),
                              longWait);
    AWAIT(m_driver.visible("boardCard"));
    picture("render pageCanvas", "11-board-reading.png");
    DRIVE(click("pageEdit"));
    picture("render pageCanvas", "12-board-editing.png");
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
    DRIVE(run(QStringLiteral("pick ") + archive));
    DRIVE(click("importNotion"));
    AWAIT(!m_driver.is("busy"));
    QVERIFY2(m_driver.visible("importSheet"), qPrintable(m_driver.message()));
    QCOMPARE(m_driver.text("archiveName"), QStringLiteral("Notion Export.zip"));
    const QString warnings = m_driver.text("warnings");
    QVERIFY2(warnings.startsWith(QStringLiteral("Warnings: ")) &&
                 warnings.contains(QStringLiteral("unresolvedLink")),
             qPrintable(warnings));
    DRIVE(run("type folderName Product"));
    picture("render importSheet", "18-import-sheet.png");

    const qsizetype before = m_driver.pages();
    DRIVE(click("commitImport"));
    AWAIT(!m_driver.visible("importSheet"));
    AWAIT(!m_driver.is("busy"));
    QCOMPARE(m_driver.message(), none);
    QVERIFY(!m_driver.is("dirty"));
    QVERIFY(!m_driver.page(QStringLiteral("Product")).isEmpty());
    QCOMPARE(m_driver.pages(), before + 3);
    DRIVE(open(QStringLiteral("Roadmap")));
    AWAIT(m_driver.visible("pageCanvas"));
    picture("grab -", "19-imported-page.png");
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
    DRIVE(run("select @meetings"));
    DRIVE(click("newMeeting"));
    AWAIT(m_driver.visible("recordingPanel"));
    AWAIT(!m_driver.is("busy"));
    picture("render recordingPanel", "13-recording-idle.png");

    // Recording starts after the notice; the microphone's level moves with the voice.
    DRIVE(click("recordMeeting"));
    AWAIT(m_driver.visible("startRecording"));
    DRIVE(click("startRecording"));
    AWAIT(m_driver.visible("stopAndSave"));
    QProcess voice;
    voice.start(QStringLiteral("paplay"), {QStringLiteral("--device=micsink"), speech});
    // The picture is taken while the voice speaks, so that its level shows.
    QVERIFY(voice.waitForStarted(longWait));
    QTest::qWait(1500);
    picture("render recordingPanel", "14-recording.png");
    QVERIFY(voice.waitForFinished(longWait) && voice.exitCode() == 0);
    DRIVE(click("signOut"));
    AWAIT(m_driver.visible("signOutConfirmation"));
    QVERIFY(!m_driver.widget("confirmSignOut")[QStringLiteral("enabled")].toBool());
    DRIVE(click("cancelSignOut"));

    // Stopped, mixed, uploaded: the card of the recording, then its transcript.
    DRIVE(click("stopAndSave"));
    AWAIT(m_driver.visible("playRecording"));
    AWAIT(!m_driver.is("busy"));
    QCOMPARE(m_driver.message(), QString());
    picture("render recordingPanel", "15-recordings.png");
    DRIVE(click("transcribe"));
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (m_driver.visible("transcriptSegments"))
                return true;
            m_driver.click("viewTranscript");
            return false;
        }(),
        4 * longWait);
    QTRY_COMPARE_WITH_TIMEOUT(m_driver.text("transcriptStatus"), QStringLiteral("completed"),
                              longWait);
    const QString heard =
        m_driver.widget("transcriptSegments")[QStringLiteral("shown")].toString().toLower();
    int words = 0;
    for (const char *word : {"budget", "meeting", "starts", "monday", "sales", "report"})
        words += heard.contains(QLatin1String(word));
    QVERIFY2(words >= 2, qPrintable(heard));
    picture("render recordingPanel", "16-transcript.png");
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
    DRIVE(click("continueWithMicrosoft"));
    AWAIT(opened.size() > before);
    QVERIFY(opened.open(QIODevice::ReadOnly) && opened.seek(before));
    const QUrl login(QString::fromUtf8(opened.readLine().trimmed()));
    QCOMPARE(login.path(), QStringLiteral("/auth/login"));
    QCOMPARE(login.port(), m_server->port());
    QVERIFY(m_driver.is("busy"));
    QVERIFY(m_driver.visible("cancelSignIn"));
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
    AWAIT(m_driver.visible("continueWithMicrosoft"));
    QCOMPARE(m_driver.text("continueWithMicrosoft"), QStringLiteral("Continuar con Microsoft"));
    QCOMPARE(m_driver.text("serverHost"), QStringLiteral("localhost"));
    QVERIFY(!m_driver.visible("cancelSignIn"));
    picture("grab -", "01-access.png");
    DRIVE(run("choose languagePicker en"));
    QCOMPARE(m_driver.text("continueWithMicrosoft"), QStringLiteral("Continue with Microsoft"));
    signIn(QStringLiteral("Nora Díaz"), QStringLiteral("nora@example.test"));

    // Waiting for approval.
    AWAIT(m_driver.visible("waitingPanel"));
    QCOMPARE(m_driver.text("accessStatus"), QStringLiteral("Access status: pending"));
    QCOMPARE(m_driver.text("accountEmail"), QStringLiteral("nora@example.test"));
    QCOMPARE(storedSession(), SecretStore::Outcome::Found);
    AWAIT(!m_driver.is("busy"));
    picture("grab -", "02-waiting.png");

    // Approved by the operator: the workspace appears by itself, on the meetings list.
    const QString &id = m_id =
        QString::fromStdString(std::string(account(QStringLiteral("nora@example.test")).id()));
    QVERIFY(!id.isEmpty());
    QVERIFY(m_server->setStatus(id, QStringLiteral("approve")));
    AWAIT(m_driver.visible("workspace")); // approved
    QCOMPARE(m_driver.state("selection").toString(), QStringLiteral("@meetings"));
    QVERIFY(m_driver.visible("meetingsView"));
    QVERIFY(!m_driver.visible("saveButton"));
    picture("grab -", "03-meetings.png");

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
    DRIVE(click("signOut"));
    AWAIT(m_driver.visible("signOutConfirmation"));
    QCOMPARE(m_driver.text("signOutConfirmation"),
             QStringLiteral("Sign out? Save your changes first."));
    picture("grab -", "05-sign-out.png");
    DRIVE(click("confirmSignOut"));
    AWAIT(m_driver.visible("continueWithMicrosoft"));
    QVERIFY(!m_driver.is("signedIn"));
    QCOMPARE(storedSession(), SecretStore::Outcome::NotFound);

    // Signed in again, the workspace is there as it was saved.
    signIn(QStringLiteral("Nora Díaz"), QStringLiteral("nora@example.test"));
    AWAIT(m_driver.visible("workspace"));
    AWAIT(!m_driver.page(QStringLiteral("Launch plan")).isEmpty());
    DRIVE(open(QStringLiteral("Launch plan")));
    AWAIT(m_driver.text("blockText#2").contains(QStringLiteral("Agenda, kept through a crash")));
    QCOMPARE(m_driver.pages(), 9);
    picture("grab -", "25-signed-in-again.png");

    DRIVE(run("quit"));
    QVERIFY(m_client.waitForFinished(longWait));
    QCOMPARE(m_client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_client.exitCode(), 0);
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e_workspace.moc"
