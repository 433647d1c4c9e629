#include "pageview/attachmentview.h"
#include "pageview/nativetable.h"
#include "support/memorysecretstore.h"

#include "modeltesting.h"
#include "support/cannedserver.h"

#include <QBuffer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

using namespace quorvale;
using quorvale::test::CannedServer;
using quorvale::test::ReferenceServer;

namespace {

QByteArray encoded(int width, int height, const char *format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

JSON attachment(std::string_view id, std::string_view assetId, std::string_view name)
{
    return JSON::object({{"id", id}, {"type", "attachment"}, {"assetId", assetId}, {"text", name}});
}

} // namespace

class TablesTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Tables.
    void tableShowsItsCells_data();
    void tableShowsItsCells();
    void cellsAreSelectablePlainTextThatWraps();
    void oddRowsAreStriped();
    void aWideTableScrollsSidewaysButNeverVertically();

    // Attachments.
    void imageNamesAreRecognised_data();
    void imageNamesAreRecognised();
    void anImageAttachmentGetsItsPreview_data();
    void anImageAttachmentGetsItsPreview();
    void otherFilesAskForNoPreview();
    void aPreviewThatFailsLeavesOnlyTheButton_data();
    void aPreviewThatFailsLeavesOnlyTheButton();
    void anotherBlockShowsItsOwnPreview();
    void downloadSavesTheServersBytes();
    void anAssetIdNamesOnlyAFile();
    void aViewClosedWhileItsPreviewLoadsIsLeftAlone();

private:
    std::unique_ptr<CannedServer> canned();
    std::unique_ptr<WorkspaceModel> model(const CannedServer &server);

    // Stores a file of an import batch on the server; answers its id.
    QString addFile(const QString &path, const QByteArray &bytes);
    // The paths the server was asked for, in order.
    QList<QByteArray> requestedPaths() const;

    QTemporaryDir m_home;
    ReferenceServer m_server;
    QString m_account;
    QString m_token;
    int m_files = 0;
};

void TablesTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    QVERIFY(m_server.start());
    m_account = m_server.addAccount(QStringLiteral("tablas@example.test"));
    QVERIFY(!m_account.isEmpty());
    m_token = m_server.token(m_account);
    QVERIFY(!m_token.isEmpty());
}

// An HTTPS server with the reference server's certificate, for answers it cannot be made to
// give (bytes that are no image, a silence).
std::unique_ptr<CannedServer> TablesTest::canned()
{
    auto server = std::make_unique<CannedServer>(m_server.dataDir() + "/server.pem",
                                                 m_server.dataDir() + "/server-key.pem");
    if (!server->listen())
        return nullptr;
    return server;
}

QString TablesTest::addFile(const QString &path, const QByteArray &bytes)
{
    const QString local = m_home.filePath(QStringLiteral("file-%1").arg(++m_files));
    QFile file(local);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    // A folder of its own, so that tests may reuse a name.
    return m_server.addNotionFile(m_account, QStringLiteral("import-1"),
                                  QStringLiteral("%1/").arg(m_files) + path, local);
}

QList<QByteArray> TablesTest::requestedPaths() const
{
    QList<QByteArray> paths;
    for (const QByteArray &line : m_server.accessLog()) {
        if (line.trimmed().isEmpty())
            continue;
        const JSON entry = JSON::decode(line.toStdString());
        paths << QByteArray(entry["path"].stringValue().data(),
                            static_cast<qsizetype>(entry["path"].stringValue().size()));
    }
    return paths;
}

std::unique_ptr<WorkspaceModel> TablesTest::model(const CannedServer &server)
{
    auto m =
        std::make_unique<WorkspaceModel>(std::make_unique<MemorySecretStore>(), server.origin(),
                                         QSslCertificate::fromPath(m_server.caFile()));
    m->service().setToken(m_token);
    return m;
}

// ---------------------------------------------------------------------------------------------
// Tables

void TablesTest::tableShowsItsCells_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<QList<QStringList>>("rows");
    const auto row = [](const char *name, const char *text, QStringList headers,
                        QList<QStringList> rows) {
        QTest::newRow(name) << QString::fromUtf8(text) << false << headers << rows;
    };
    row("headers and rows",
        R"({"headers":["Nombre","Rol"],"rows":[["Ana","Dirección"],["Luis","Diseño"]]})",
        {"Nombre", "Rol"}, {{"Ana", "Dirección"}, {"Luis", "Diseño"}});
    row("values that are not text show empty",
        R"({"headers":["a",1,null],"rows":[[true,{"x":"y"},["z"],2.5,"ok"]]})", {"a", "", ""},
        {{"", "", "", "", "ok"}});
    row("ragged rows, and a row that is no list",
        R"({"headers":["a","b"],"rows":[["1"],["1","2","3"],"fila",[]]})", {"a", "b"},
        {{"1"}, {"1", "2", "3"}, {}, {}});
    row("no rows", R"({"headers":["solo"]})", {"solo"}, {});
    row("headers that are no list", R"({"headers":"a,b","rows":[["1","2"]]})", {}, {{"1", "2"}});
    row("an array is a table with nothing in it", R"([["a","b"],["1","2"]])", {}, {});
    row("markup inside cells stays text", R"({"headers":["<b>x</b>"],"rows":[["<img src=x>"]]})",
        {"<b>x</b>"}, {{"<img src=x>"}});
    // What is not JSON shows as the text it is.
    for (const char *raw :
         {"| a | b |\n|---|---|", "<b>x</b>", R"({"headers":["a"],"rows":[[)", ""})
        QTest::newRow(raw) << QString::fromUtf8(raw) << true << QStringList{}
                           << QList<QStringList>{};
}

void TablesTest::tableShowsItsCells()
{
    QFETCH(QString, text);
    QFETCH(bool, raw);
    QFETCH(QStringList, headers);
    QFETCH(QList<QStringList>, rows);

    NativeTable table(text);
    QCOMPARE(table.isRaw(), raw);
    QCOMPARE(table.headers(), headers);
    QCOMPARE(table.rows(), rows);
    if (raw) {
        auto *label = table.findChild<QLabel *>("tableText");
        QVERIFY(label);
        QCOMPARE(label->text(), text);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
    }
}

void TablesTest::cellsAreSelectablePlainTextThatWraps()
{
    NativeTable table(R"({"headers":["Columna"],"rows":[["<i>celda</i> con un texto bastante )"
                      R"(largo que ocupa varias líneas"]]})");
    table.resize(600, 400);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    QLabel *header = table.cell(-1, 0);
    QLabel *cell = table.cell(0, 0);
    QCOMPARE(cell->textFormat(), Qt::PlainText);
    QVERIFY(header->font().bold() && !cell->font().bold());
    // A long cell wraps inside its column instead of widening it.
    QCOMPARE(cell->width(), header->width());
    QVERIFY(cell->height() > header->height());
    // Text can be selected with the mouse.
    QTest::mousePress(cell, Qt::LeftButton, {}, QPoint(12, 15));
    QTest::mouseMove(cell, QPoint(120, 15));
    QTest::mouseRelease(cell, Qt::LeftButton, {}, QPoint(120, 15));
    QVERIFY(cell->hasSelectedText());
}

void TablesTest::oddRowsAreStriped()
{
    NativeTable table(R"({"headers":["h"],"rows":[["0"],["1"],["2"],["3"],[],"x"]})");
    QPalette palette;
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    table.setPalette(palette);
    table.resize(400, table.sizeHint().height());
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    const QImage shot = table.grab().toImage();

    // Sampled in the padding of the first cell of each row, away from its text.
    auto background = [&](int row) {
        const QLabel *cell = table.cell(row, 0);
        return shot.pixelColor(cell->mapTo(&table, QPoint(cell->width() - 3, cell->height() - 3)));
    };
    const QColor striped = background(1);
    QCOMPARE(background(0), QColor(Qt::white));
    QCOMPARE(background(2), QColor(Qt::white));
    QVERIFY2(striped.value() < 255 && striped.value() >= 255 - 12, qPrintable(striped.name()));
    QCOMPARE(background(3), striped);
    QVERIFY(background(-1).value() < striped.value()); // the header band is darker still
}

void TablesTest::aWideTableScrollsSidewaysButNeverVertically()
{
    QStringList header;
    QStringList rows;
    for (int c = 0; c < 10; ++c)
        header << QStringLiteral("\"%1\"").arg(c);
    for (int r = 0; r < 200; ++r) {
        QStringList cells;
        for (int c = 0; c < 10; ++c)
            cells << QStringLiteral("\"r%1c%2\"").arg(r).arg(c);
        rows << u'[' + cells.join(u',') + u']';
    }
    QWidget page;
    auto *column = new QVBoxLayout(&page);
    auto *table = new NativeTable(
        QStringLiteral(R"({"headers":[%1],"rows":[%2]})").arg(header.join(u','), rows.join(u',')),
        &page);
    column->addWidget(table);
    column->addStretch();
    page.resize(600, 300);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    QCOMPARE(table->rows().at(199).at(9), QStringLiteral("r199c9"));
    auto *scroll = table->findChild<QScrollArea *>();
    QVERIFY(scroll);
    QTRY_VERIFY(scroll->horizontalScrollBar()->isVisible());
    QVERIFY(scroll->horizontalScrollBar()->maximum() > 0);
    QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
    // All rows are laid out at full height: the page scrolls, not the table.
    QVERIFY(table->height() > 200 * table->cell(0, 0)->height());
    QVERIFY(table->width() <= 600);

    // A cell that grows (a larger font) makes the table taller, still without inner scrolling.
    const int before = table->height();
    QFont larger = table->cell(0, 0)->font();
    larger.setPointSizeF(larger.pointSizeF() * 3);
    table->cell(0, 0)->setFont(larger);
    QTRY_VERIFY(table->height() > before);
    QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
    QVERIFY(table->cell(1, 0)->y() >= table->cell(0, 0)->geometry().bottom());
}

// ---------------------------------------------------------------------------------------------
// Attachments

void TablesTest::imageNamesAreRecognised_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("image");
    for (const char *name :
         {"Diagram.PNG", "foto.jpg", "Foto.JpEg", "anim.gif", "carpeta/imagen.webp"})
        QTest::newRow(name) << QString::fromUtf8(name) << true;
    for (const char *name : {"report.pdf", "LEEME", "fotos.png.zip", "logo.svg", "fotos.png/", ""})
        QTest::newRow(name) << QString::fromUtf8(name) << false;
}

void TablesTest::imageNamesAreRecognised()
{
    QFETCH(QString, name);
    QFETCH(bool, image);
    QCOMPARE(AttachmentView::isImageName(name), image);
}

void TablesTest::anImageAttachmentGetsItsPreview_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("shown"); // the preview's height on screen
    QTest::newRow("PNG in upper case")
        << "Diagram.PNG" << encoded(64, 32, "PNG") << QSize(64, 32) << 32;
    QTest::newRow("jpeg") << "Foto.JpEg" << encoded(64, 32, "JPG") << QSize(64, 32) << 32;
    QTest::newRow("tall, scaled down") << "alto.png" << encoded(100, 2000, "PNG") << QSize() << 480;
}

void TablesTest::anImageAttachmentGetsItsPreview()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(int, shown);
    const QString asset = addFile("Assets/" + name, bytes);
    QVERIFY(!asset.isEmpty());
    auto m = test::serverModel(m_server, m_token);

    AttachmentView view(*m, attachment("b1", asset.toStdString(), name.toStdString()));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.resize(700, 900);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(view.hasImage());
    if (size.isValid()) // else the server's own scaled-down preview
        QCOMPARE(view.image().size(), size);
    auto *preview = view.findChild<QWidget *>("attachmentPreview");
    QVERIFY(preview->isVisible());
    QTRY_COMPARE(preview->height(), shown);
    // The button, named after the file, stays under it.
    QCOMPARE(view.downloadButton()->text(), name);
    QVERIFY(view.downloadButton()->y() > preview->geometry().bottom());
}

void TablesTest::otherFilesAskForNoPreview()
{
    const QString pdf = addFile("Docs/report.pdf", "%PDF-1.7\n");
    const QString image = addFile("Assets/foto.png", encoded(8, 8, "PNG"));
    QVERIFY(!pdf.isEmpty() && !image.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    AttachmentView document(*m, attachment("b1", pdf.toStdString(), "report.pdf"));
    document.show();

    // A later image's request is answered; the document's would have been sent before it.
    AttachmentView picture(*m, attachment("b2", image.toStdString(), "foto.png"));
    QSignalSpy pictureFinished(&picture, &AttachmentView::previewFinished);
    picture.show();
    QTRY_COMPARE_WITH_TIMEOUT(pictureFinished.count(), 1, 10000);
    QVERIFY(picture.hasImage());
    QVERIFY(!document.hasImage());
    for (const QByteArray &path : requestedPaths())
        QVERIFY2(!path.contains(pdf.toUtf8()), path.constData());
}

void TablesTest::aPreviewThatFailsLeavesOnlyTheButton_data()
{
    QTest::addColumn<QByteArray>("bytes");    // stored on the reference server; none: no such file
    QTest::addColumn<QByteArray>("response"); // else the answer of a canned server
    QTest::newRow("no such asset") << QByteArray() << QByteArray();
    QTest::newRow("a document named as an image") << QByteArray("%PDF-1.7\n") << QByteArray();
    QTest::newRow("a cut-off image") << encoded(40, 40, "PNG").left(60) << QByteArray();
    QTest::newRow("server error") << QByteArray() << CannedServer::response(500, "boom");
    QTest::newRow("bytes that are no image")
        << QByteArray() << CannedServer::response(200, "%PDF-1.7 ...");
    QTest::newRow("an empty body") << QByteArray() << CannedServer::response(200, {});
}

void TablesTest::aPreviewThatFailsLeavesOnlyTheButton()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, response);
    std::unique_ptr<CannedServer> server;
    std::unique_ptr<WorkspaceModel> m;
    QString asset = QStringLiteral("no-such-asset");
    if (response.isEmpty()) {
        if (!bytes.isEmpty())
            asset = addFile(QStringLiteral("Assets/captura.png"), bytes);
        m = test::serverModel(m_server, m_token);
    } else {
        server = canned();
        QVERIFY(server);
        server->reply(response);
        m = model(*server);
    }
    AttachmentView view(*m, attachment("b1", asset.toStdString(), "captura.png"));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(!view.hasImage());
    QVERIFY(!view.findChild<QWidget *>("attachmentPreview")->isVisible());
    QVERIFY(view.downloadButton()->isVisible());
    QCOMPARE(view.downloadButton()->text(), QStringLiteral("captura.png"));
    QCOMPARE(m->message(), QString()); // silent: a preview is no action of the user's
}

void TablesTest::anotherBlockShowsItsOwnPreview()
{
    const QString first = addFile("Assets/uno.png", encoded(20, 10, "PNG"));
    const QString second = addFile("Assets/dos.png", encoded(30, 10, "PNG"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    AttachmentView view(*m, attachment("b1", first.toStdString(), "uno.png"));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(view.image().size(), QSize(20, 10));

    // The same block renamed: relabelled, the picture kept.
    view.setBlock(attachment("b1", first.toStdString(), "renombrado.png"));
    QCOMPARE(view.downloadButton()->text(), QStringLiteral("renombrado.png"));
    QCOMPARE(view.image().size(), QSize(20, 10));

    view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
    QTRY_COMPARE_WITH_TIMEOUT(view.image().size(), QSize(30, 10), 10000);

    // When a block's preview fails, the previous block's picture is not left above its button,
    // nor above a document's.
    view.setBlock(attachment("b3", "no-such-asset", "tres.png"));
    QCOMPARE(view.downloadButton()->text(), QStringLiteral("tres.png"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 10000);
    QVERIFY(!view.hasImage());
    view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
    QTRY_VERIFY_WITH_TIMEOUT(view.hasImage(), 10000);
    view.setBlock(attachment("b4", "doc", "informe.pdf"));
    QVERIFY(!view.hasImage());
}

void TablesTest::downloadSavesTheServersBytes()
{
    const QByteArray content("%PDF-1.7\nel informe\n\x00\xff", 22);
    const QString asset = addFile("Docs/informe final.pdf", content);
    QVERIFY(!asset.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    QTemporaryDir folder;
    QStringList proposed;
    QString target = folder.filePath(QStringLiteral("guardado.pdf"));
    m->setSavePanel([&](const QString &name) {
        proposed << name;
        return target;
    });

    // The save panel proposes the file's own name, without the folders of the import.
    AttachmentView view(*m, attachment("b1", asset.toStdString(), "Docs/informe final.pdf"));
    view.show();
    view.downloadButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(m->message(), QStringLiteral("Archivo guardado."), 10000);
    QCOMPARE(proposed, QStringList{"informe final.pdf"});
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), content);

    // A missing file is reported by the model, and nothing is written.
    m->setMessage({});
    target = folder.filePath(QStringLiteral("otro.pdf"));
    view.setBlock(attachment("b1", "no-such-asset", "informe final.pdf"));
    view.downloadButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(m->message(),
                              QStringLiteral("No se pudo descargar el archivo (404)."), 10000);
    QVERIFY(!QFile::exists(target));
}

void TablesTest::anAssetIdNamesOnlyAFile()
{
    auto server = canned();
    QVERIFY(server);
    server->reply(CannedServer::response(404, {}));
    server->reply(CannedServer::response(404, {}));
    auto m = model(*server);
    QTemporaryDir folder;
    m->setSavePanel([&](const QString &) { return folder.filePath(QStringLiteral("x")); });
    AttachmentView view(*m, attachment("b1", "../workspace?x=1#y", "x.png"));
    view.show();
    view.downloadButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 2, 10000);
    QList<QByteArray> targets;
    for (const test::RecordedRequest &request : server->requests())
        targets << request.target;
    std::sort(targets.begin(), targets.end());
    QCOMPARE(targets, (QList<QByteArray>{"/api/notion-files/..%2Fworkspace%3Fx%3D1%23y",
                                         "/api/notion-files/..%2Fworkspace%3Fx%3D1%23y/preview"}));
}

void TablesTest::aViewClosedWhileItsPreviewLoadsIsLeftAlone()
{
    // Only a canned server can be made to keep a request waiting.
    auto server = canned();
    QVERIFY(server);
    server->reply({});
    server->reply(CannedServer::response(200, encoded(4, 4, "PNG")));
    auto m = model(*server);

    auto view = std::make_unique<AttachmentView>(*m, attachment("b1", "lento", "lento.png"));
    view->show();
    QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 1, 10000);
    view.reset();
    // The request ends, with an error, after its view is gone.
    m->service().abortTransfers();

    // The application goes on: another view gets its preview.
    AttachmentView next(*m, attachment("b2", "rapido", "rapido.png"));
    QSignalSpy finished(&next, &AttachmentView::previewFinished);
    next.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(next.hasImage());
}

QTEST_MAIN(TablesTest)
#include "tst_tables.moc"
