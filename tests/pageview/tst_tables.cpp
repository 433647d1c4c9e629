#include "pageview/attachmentview.h"
#include "pageview/nativetable.h"

#include "modeltesting.h"
#include "support/cannedserver.h"

#include <QApplication>
#include <QBuffer>
#include <QEnterEvent>
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
    void cellsAreFixedWidthSelectablePlainText();
    void oddRowsAreStriped();
    void aWideTableScrollsSidewaysButNeverVertically();

    // Attachments.
    void imageNamesAreRecognised_data();
    void imageNamesAreRecognised();
    void anImageAttachmentGetsItsPreview_data();
    void anImageAttachmentGetsItsPreview();
    void aTallImageIsScaledDownTo480();
    void otherFilesAskForNoPreview();
    void aMissingOrBrokenAssetLeavesOnlyTheButton_data();
    void aMissingOrBrokenAssetLeavesOnlyTheButton();
    void answersTheServerNeverGivesAlsoLeaveOnlyTheButton_data();
    void answersTheServerNeverGivesAlsoLeaveOnlyTheButton();
    void anotherBlockFetchesItsOwnPreview();
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

    QTest::newRow("headers and rows")
        << R"({"headers":["Nombre","Rol"],"rows":[["Ana","Dirección"],["Luis","Diseño"],["Eva","QA"]]})"
        << false << QStringList{"Nombre", "Rol"}
        << QList<QStringList>{{"Ana", "Dirección"}, {"Luis", "Diseño"}, {"Eva", "QA"}};
    QTest::newRow("values that are not text show empty")
        << R"({"headers":["a",1,null],"rows":[[true,{"x":"y"},["z"],2.5,"ok"]]})" << false
        << QStringList{"a", "", ""} << QList<QStringList>{{"", "", "", "", "ok"}};
    QTest::newRow("ragged rows, and a row that is no list")
        << R"({"headers":["a","b"],"rows":[["1"],["1","2","3"],"fila",[]]})" << false
        << QStringList{"a", "b"} << QList<QStringList>{{"1"}, {"1", "2", "3"}, {}, {}};
    QTest::newRow("no rows") << R"({"headers":["solo"]})" << false << QStringList{"solo"}
                             << QList<QStringList>{};
    QTest::newRow("headers that are no list") << R"({"headers":"a,b","rows":[["1","2"]]})" << false
                                              << QStringList{} << QList<QStringList>{{"1", "2"}};
    QTest::newRow("an array is a table with nothing in it")
        << R"([["a","b"],["1","2"]])" << false << QStringList{} << QList<QStringList>{};
    QTest::newRow("markup inside cells stays text")
        << R"({"headers":["<b>x</b>"],"rows":[["<img src=x>"]]})" << false
        << QStringList{"<b>x</b>"} << QList<QStringList>{{"<img src=x>"}};
    QTest::newRow("text that is not JSON")
        << "| a | b |\n|---|---|" << true << QStringList{} << QList<QStringList>{};
    QTest::newRow("markup that is not JSON")
        << "<b>x</b>" << true << QStringList{} << QList<QStringList>{};
    QTest::newRow("cut-off JSON") << R"({"headers":["a"],"rows":[[)" << true << QStringList{}
                                  << QList<QStringList>{};
    QTest::newRow("empty text") << "" << true << QStringList{} << QList<QStringList>{};
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
        // Shown as it stands, never as markup.
        QCOMPARE(label->text(), text);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->wordWrap());
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(!table.findChild<QScrollArea *>());
    }
}

void TablesTest::cellsAreFixedWidthSelectablePlainText()
{
    NativeTable table(R"({"headers":["Columna"],"rows":[["<i>celda</i> con un texto bastante )"
                      R"(largo que ocupa varias líneas"]]})");
    table.resize(600, 400);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    for (QLabel *cell : {table.cell(-1, 0), table.cell(0, 0)}) {
        QVERIFY(cell);
        QCOMPARE(cell->width(), 190);
        QCOMPARE(cell->textFormat(), Qt::PlainText);
        QVERIFY(cell->alignment() & Qt::AlignLeft);
        QCOMPARE(cell->contentsMargins(), QMargins(10, 10, 10, 10));
    }
    // Selectable from the moment the pointer reaches a cell, or at the latest when it is pressed.
    QLabel *header = table.cell(-1, 0);
    QEnterEvent enter(QPointF(20, 15), QPointF(20, 15), header->mapToGlobal(QPointF(20, 15)));
    QApplication::sendEvent(header, &enter);
    QVERIFY(header->textInteractionFlags() & Qt::TextSelectableByMouse);
    QLabel *cell = table.cell(0, 0);
    QTest::mousePress(cell, Qt::LeftButton, {}, QPoint(12, 15));
    QTest::mouseMove(cell, QPoint(120, 15));
    QTest::mouseRelease(cell, Qt::LeftButton, {}, QPoint(120, 15));
    QVERIFY(cell->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(cell->hasSelectedText());
    QVERIFY(table.cell(-1, 0)->font().bold());
    QVERIFY(!table.cell(0, 0)->font().bold());
    QVERIFY(table.cell(-1, 0)->font().pointSizeF() < table.cell(0, 0)->font().pointSizeF());
    // A long cell wraps inside its column instead of widening it.
    QVERIFY(table.cell(0, 0)->height() > table.cell(-1, 0)->height());
    QVERIFY(!table.cell(1, 0) && !table.cell(0, 1) && !table.cell(-2, 0));
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
        const QPoint at = cell->mapTo(&table, QPoint(cell->width() - 3, cell->height() - 3));
        return shot.pixelColor(at);
    };
    const QColor plain = background(0);
    QCOMPARE(plain, QColor(Qt::white));
    QCOMPARE(background(2), plain);
    const QColor striped = background(1);
    QVERIFY2(striped.value() < plain.value() && plain.value() - striped.value() <= 12,
             qPrintable(striped.name()));
    QCOMPARE(background(3), striped);
    // The header band is darker than any row.
    QVERIFY(background(-1).value() < striped.value());
}

void TablesTest::aWideTableScrollsSidewaysButNeverVertically()
{
    QString text = R"({"headers":[)";
    for (int c = 0; c < 10; ++c)
        text += (c ? ",\"" : "\"") + QString::number(c) + '"';
    text += R"(],"rows":[)";
    for (int r = 0; r < 200; ++r) {
        text += r ? ",[" : "[";
        for (int c = 0; c < 10; ++c)
            text += (c ? ",\"" : "\"") + QStringLiteral("r%1c%2").arg(r).arg(c) + '"';
        text += ']';
    }
    text += "]}";

    QWidget page;
    auto *column = new QVBoxLayout(&page);
    auto *table = new NativeTable(text, &page);
    column->addWidget(table);
    column->addStretch();
    page.resize(600, 300);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    QCOMPARE(table->rows().size(), 200);
    QCOMPARE(table->rows().at(199).at(9), QStringLiteral("r199c9"));
    auto *scroll = table->findChild<QScrollArea *>();
    QVERIFY(scroll);
    QTRY_VERIFY(scroll->horizontalScrollBar()->isVisible());
    QCOMPARE(scroll->horizontalScrollBar()->maximum(), 10 * 190 - scroll->viewport()->width());
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
    QTest::newRow("upper-case extension") << "Diagram.PNG" << true;
    QTest::newRow("jpg") << "foto.jpg" << true;
    QTest::newRow("jpeg in mixed case") << "Foto.JpEg" << true;
    QTest::newRow("gif") << "anim.gif" << true;
    QTest::newRow("webp, in a folder") << "carpeta/imagen.webp" << true;
    QTest::newRow("pdf") << "report.pdf" << false;
    QTest::newRow("no extension") << "LEEME" << false;
    QTest::newRow("an image name inside another") << "fotos.png.zip" << false;
    QTest::newRow("svg") << "logo.svg" << false;
    QTest::newRow("a folder that looks like an image") << "fotos.png/" << false;
    QTest::newRow("no name") << "" << false;
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
    QTest::newRow("PNG in upper case") << "Diagram.PNG" << encoded(64, 32, "PNG");
    QTest::newRow("jpeg") << "Foto.JpEg" << encoded(64, 32, "JPG");
}

void TablesTest::anImageAttachmentGetsItsPreview()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString asset = addFile("Assets/" + name, bytes);
    QVERIFY(!asset.isEmpty());
    auto m = test::serverModel(m_server, m_token);

    AttachmentView view(*m, attachment("b1", asset.toStdString(), name.toStdString()));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    QVERIFY(!view.hasImage());
    const QByteArray preview = "/api/notion-files/" + asset.toUtf8() + "/preview";
    QVERIFY(!requestedPaths().contains(preview)); // nothing before the view is shown
    view.resize(500, 600);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);

    QVERIFY(view.hasImage());
    QCOMPARE(view.image().size(), QSize(64, 32));
    QVERIFY(view.findChild<QWidget *>("attachmentPreview")->isVisible());
    QCOMPARE(requestedPaths().count(preview), 1);
    QCOMPARE(view.downloadButton()->text(), name);
    QVERIFY(view.downloadButton()->isFlat());
    QVERIFY(!view.downloadButton()->icon().isNull());

    // Showing it again asks nothing more.
    view.hide();
    view.show();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
}

void TablesTest::aTallImageIsScaledDownTo480()
{
    const QString asset = addFile("Assets/alto.png", encoded(100, 2000, "PNG"));
    QVERIFY(!asset.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    AttachmentView view(*m, attachment("b1", asset.toStdString(), "alto.png"));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.resize(700, 900);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(view.hasImage());
    auto *preview = view.findChild<QWidget *>("attachmentPreview");
    QVERIFY(preview);
    QTRY_COMPARE(preview->height(), 480);
    // The button stays under it.
    QVERIFY(view.downloadButton()->y() > preview->geometry().bottom());
}

void TablesTest::otherFilesAskForNoPreview()
{
    const QString pdf = addFile("Docs/report.pdf", "%PDF-1.7\n");
    const QString image = addFile("Assets/foto.png", encoded(8, 8, "PNG"));
    QVERIFY(!pdf.isEmpty() && !image.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    AttachmentView document(*m, attachment("b1", pdf.toStdString(), "report.pdf"));
    QSignalSpy documentFinished(&document, &AttachmentView::previewFinished);
    document.show();

    // A later image's request is answered; the document's would have been sent before it.
    AttachmentView picture(*m, attachment("b2", image.toStdString(), "foto.png"));
    QSignalSpy pictureFinished(&picture, &AttachmentView::previewFinished);
    picture.show();
    QTRY_COMPARE_WITH_TIMEOUT(pictureFinished.count(), 1, 10000);
    QVERIFY(picture.hasImage());
    QCOMPARE(documentFinished.count(), 0);
    QVERIFY(!document.hasImage());
    for (const QByteArray &path : requestedPaths())
        QVERIFY2(!path.contains(pdf.toUtf8()), path.constData());
}

void TablesTest::aMissingOrBrokenAssetLeavesOnlyTheButton_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // none: no such asset
    QTest::newRow("no such asset") << "Diagram.PNG" << QByteArray();
    QTest::newRow("a document named as an image") << "captura.png" << QByteArray("%PDF-1.7\n");
    QTest::newRow("a cut-off image") << "captura.png" << encoded(40, 40, "PNG").left(60);
}

void TablesTest::aMissingOrBrokenAssetLeavesOnlyTheButton()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString asset =
        bytes.isEmpty() ? QStringLiteral("no-such-asset") : addFile("Assets/" + name, bytes);
    QVERIFY(!asset.isEmpty());
    auto m = test::serverModel(m_server, m_token);
    AttachmentView view(*m, attachment("b1", asset.toStdString(), name.toStdString()));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QVERIFY(requestedPaths().contains("/api/notion-files/" + asset.toUtf8() + "/preview"));
    QVERIFY(!view.hasImage());
    QVERIFY(!view.findChild<QWidget *>("attachmentPreview")->isVisible());
    QVERIFY(view.downloadButton()->isVisible());
    QCOMPARE(view.downloadButton()->text(), name);
    // Silent: the model carries no message.
    QCOMPARE(m->message(), QString());
}

void TablesTest::answersTheServerNeverGivesAlsoLeaveOnlyTheButton_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("server error") << CannedServer::response(500, "boom");
    QTest::newRow("bytes that are no image") << CannedServer::response(200, "%PDF-1.7 ...");
    QTest::newRow("an empty body") << CannedServer::response(200, {});
}

void TablesTest::answersTheServerNeverGivesAlsoLeaveOnlyTheButton()
{
    QFETCH(QByteArray, response);
    auto server = canned();
    QVERIFY(server);
    server->reply(response);
    auto m = model(*server);
    AttachmentView view(*m, attachment("b1", "a", "captura.png"));
    QSignalSpy finished(&view, &AttachmentView::previewFinished);
    view.show();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(server->requests().size(), 1);
    QCOMPARE(server->requests().at(0).method, QByteArray("GET"));
    QCOMPARE(server->requests().at(0).target, QByteArray("/api/notion-files/a/preview"));
    QVERIFY(!view.hasImage());
    QVERIFY(view.downloadButton()->isVisible());
    QCOMPARE(m->message(), QString());
}

void TablesTest::anotherBlockFetchesItsOwnPreview()
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

    // The same block renamed: relabelled, not fetched again, the picture kept.
    view.setBlock(attachment("b1", first.toStdString(), "renombrado.png"));
    QCOMPARE(view.downloadButton()->text(), QStringLiteral("renombrado.png"));
    QVERIFY(view.hasImage());

    // Another block gets its own preview.
    view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
    QCOMPARE(view.image().size(), QSize(30, 10));
    QCOMPARE(requestedPaths().count("/api/notion-files/" + first.toUtf8() + "/preview"), 1);

    // When a block's preview fails, the previous block's picture is not left above its button.
    view.setBlock(attachment("b3", "no-such-asset", "tres.png"));
    QCOMPARE(view.downloadButton()->text(), QStringLiteral("tres.png"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 10000);
    QVERIFY(!view.hasImage());

    // Nor above a document's.
    view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 4, 10000);
    QVERIFY(view.hasImage());
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
    const QString target = folder.filePath(QStringLiteral("guardado.pdf"));
    m->setSavePanel([&](const QString &name) {
        proposed << name;
        return target;
    });

    AttachmentView view(*m, attachment("b1", asset.toStdString(), "informe final.pdf"));
    view.show();
    QCOMPARE(view.downloadButton()->toolTip(), QStringLiteral("Descargar"));
    m->setLanguage(QStringLiteral("en"));
    QCOMPARE(view.downloadButton()->toolTip(), QStringLiteral("Download"));
    m->setLanguage(QStringLiteral("es"));
    view.downloadButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(m->message(), QStringLiteral("Archivo guardado."), 10000);
    QCOMPARE(proposed, QStringList{"informe final.pdf"});
    QVERIFY(requestedPaths().contains("/api/notion-files/" + asset.toUtf8()));
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), content);

    // A missing file is reported by the model, and nothing is written.
    m->setMessage({});
    const QString other = folder.filePath(QStringLiteral("otro.pdf"));
    m->setSavePanel([&](const QString &) { return other; });
    view.setBlock(attachment("b1", "no-such-asset", "informe final.pdf"));
    view.downloadButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(m->message(),
                              QStringLiteral("No se pudo descargar el archivo (404)."), 10000);
    QVERIFY(!QFile::exists(other));
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
