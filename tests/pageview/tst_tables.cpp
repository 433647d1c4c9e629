#include "pageview/attachmentview.h"
#include "pageview/nativetable.h"
#include "support/modeltesting.h"
#include "support/viewtesting.h"

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
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath("data")));
        QVERIFY(m_server.start());
        m_account = m_server.addAccount("tablas@example.test");
        m_token = m_server.token(m_account);
        QVERIFY(!m_token.isEmpty());
    }

    // Tables.
    void tableShowsItsCells_data()
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
        row("an array is a table with nothing in it", R"([["a","b"],["1","2"]])", {}, {});
        // What is not JSON shows as the text it is.
        for (const char *raw : {"| a | b |\n|---|---|", R"({"headers":["a"],"rows":[[)"})
            QTest::newRow(raw) << QString::fromUtf8(raw) << true << QStringList{}
                               << QList<QStringList>{};
    }

    void tableShowsItsCells()
    {
        QFETCH(QString, text);
        QFETCH(bool, raw);
        QFETCH(QStringList, headers);
        QFETCH(QList<QStringList>, rows);

        NativeTable table(text);
        QCOMPARE(table.isRaw(), raw);
        QCOMPARE(table.headers(), headers);
        QCOMPARE(table.rows(), rows);
        // Shown as plain text, never as markup.
        QLabel *shown = raw ? table.findChild<QLabel *>("tableText")
                        : rows.isEmpty() || rows[0].isEmpty() ? nullptr
                                                              : table.cell(0, 0);
        if (raw)
            QCOMPARE(shown->text(), text);
        if (shown)
            QCOMPARE(shown->textFormat(), Qt::PlainText);
    }

    void aWideTableScrollsSidewaysButNeverVertically()
    {
        // Ten columns of long cells, 200 rows.
        const QString cells = R"("%1","%1","%1","%1","%1","%1","%1","%1","%1","%1")";
        QStringList rows(200, u'[' + cells.arg(QStringLiteral("celda de la fila")) + u']');
        QWidget page;
        auto *column = new QVBoxLayout(&page);
        auto *table = new NativeTable(QStringLiteral(R"({"headers":[%1],"rows":[%2]})")
                                          .arg(cells.arg(QStringLiteral("h")), rows.join(u',')),
                                      &page);
        column->addWidget(table);
        column->addStretch();
        page.resize(600, 300);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));

        auto *scroll = table->findChild<QScrollArea *>();
        QTRY_VERIFY(scroll->horizontalScrollBar()->isVisible());
        QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
        // All rows are laid out at full height: the page scrolls, not the table.
        QVERIFY(table->height() > 200 * table->cell(0, 0)->height());
        QVERIFY(table->width() <= 600);
        // Cell text can be selected with the mouse.
        QLabel *cell = table->cell(0, 0);
        QTest::mousePress(cell, Qt::LeftButton, {}, QPoint(12, 15));
        QTest::mouseMove(cell, QPoint(120, 15));
        QTest::mouseRelease(cell, Qt::LeftButton, {}, QPoint(120, 15));
        QVERIFY(cell->hasSelectedText());
    }

    // Attachments.
    void imageNamesAreRecognised()
    {
        for (const char *name : {"Diagram.PNG", "Foto.JpEg", "carpeta/imagen.webp"})
            QVERIFY2(AttachmentView::isImageName(QString::fromUtf8(name)), name);
        for (const char *name : {"report.pdf", "fotos.png.zip", "logo.svg", ""})
            QVERIFY2(!AttachmentView::isImageName(QString::fromUtf8(name)), name);
    }

    void anImageAttachmentGetsItsPreview()
    {
        // A tall picture: the server's scaled-down preview, no higher than the view allows.
        const QString name = "alto.png";
        const QString asset = addFile("Assets/" + name, encoded(100, 2000, "PNG"));
        QVERIFY(!asset.isEmpty());
        auto m = test::serverModel(m_server, m_token);

        AttachmentView view(*m, attachment("b1", asset.toStdString(), name.toStdString()));
        QSignalSpy finished(&view, &AttachmentView::previewFinished);
        view.resize(700, 900);
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QVERIFY(view.hasImage());
        auto *preview = view.findChild<QWidget *>("attachmentPreview");
        QVERIFY(preview->isVisible());
        QTRY_COMPARE(preview->height(), 480);
        // The button, named after the file, stays under it.
        QCOMPARE(view.downloadButton()->text(), name);
        QVERIFY(view.downloadButton()->y() > preview->geometry().bottom());
    }

    void aPreviewThatFailsLeavesOnlyTheButton()
    {
        // A cut-off image (a missing one is the next case's).
        const QString asset = addFile("Assets/captura.png", encoded(40, 40, "PNG").left(60));
        auto m = test::serverModel(m_server, m_token);
        AttachmentView view(*m, attachment("b1", asset.toStdString(), "captura.png"));
        QSignalSpy finished(&view, &AttachmentView::previewFinished);
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QVERIFY(!view.hasImage());
        QVERIFY(!view.findChild<QWidget *>("attachmentPreview")->isVisible());
        QVERIFY(view.downloadButton()->isVisible());
        QCOMPARE(m->message(), QString()); // silent: a preview is no action of the user's
    }

    void anotherBlockShowsItsOwnPreview()
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
        QCOMPARE(view.downloadButton()->text(), "renombrado.png");
        QCOMPARE(view.image().size(), QSize(20, 10));

        view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
        QTRY_COMPARE_WITH_TIMEOUT(view.image().size(), QSize(30, 10), 10000);

        // When a block's preview fails, the previous block's picture is not left above its button,
        // nor above a document's.
        view.setBlock(attachment("b3", "no-such-asset", "tres.png"));
        QCOMPARE(view.downloadButton()->text(), "tres.png");
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 10000);
        QVERIFY(!view.hasImage());
        view.setBlock(attachment("b2", second.toStdString(), "dos.png"));
        QTRY_VERIFY_WITH_TIMEOUT(view.hasImage(), 10000);
        view.setBlock(attachment("b4", "doc", "informe.pdf"));
        QVERIFY(!view.hasImage());
    }

    void downloadSavesTheServersBytes()
    {
        const QByteArray content("%PDF-1.7\nel informe\n\x00\xff", 22);
        const QString asset = addFile("Docs/informe final.pdf", content);
        QVERIFY(!asset.isEmpty());
        auto m = test::serverModel(m_server, m_token);
        QTemporaryDir folder;
        QStringList proposed;
        QString target = folder.filePath("guardado.pdf");
        m->setSavePanel([&](const QString &name) {
            proposed << name;
            return target;
        });

        // The save panel proposes the file's own name, without the folders of the import.
        AttachmentView view(*m, attachment("b1", asset.toStdString(), "Docs/informe final.pdf"));
        view.show();
        view.downloadButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(m->message(), "Archivo guardado.", 10000);
        QCOMPARE(proposed, QStringList{"informe final.pdf"});
        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), content);

        // A missing file is reported by the model, and nothing is written.
        m->setMessage({});
        target = folder.filePath("otro.pdf");
        view.setBlock(attachment("b1", "no-such-asset", "informe final.pdf"));
        view.downloadButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(m->message(), "No se pudo descargar el archivo (404).", 10000);
        QVERIFY(!QFile::exists(target));
    }

    void anAssetIdNamesOnlyAFile()
    {
        auto m = test::serverModel(m_server, m_token);
        QTemporaryDir folder;
        m->setSavePanel([&](const QString &) { return folder.filePath("x"); });
        AttachmentView view(*m, attachment("b1", "../workspace?x=1#y", "x.png"));
        view.show();
        view.downloadButton()->click();
        // The preview and the file are asked for under the escaped id, and nothing else.
        const std::string file = "/api/notion-files/..%2Fworkspace%3Fx%3D1%23y";
        QTRY_COMPARE_WITH_TIMEOUT(test::requests(m_server, "GET", file), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(test::requests(m_server, "GET", file + "/preview"), 1, 10000);
    }

    void aViewClosedWhileItsPreviewLoadsIsLeftAlone()
    {
        // Only a canned server can be made to keep a request waiting.
        auto server = CannedServer::besides(m_server);
        QVERIFY(server);
        server->reply({});
        server->reply(CannedServer::response(200, encoded(4, 4, "PNG")));
        auto m = test::cannedModel(m_server, *server);

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

private:
    // Stores a file of an import batch on the server; answers its id.
    QString addFile(const QString &path, const QByteArray &bytes);

    QTemporaryDir m_home;
    ReferenceServer m_server;
    QString m_account;
    QString m_token;
    int m_files = 0;
};

QString TablesTest::addFile(const QString &path, const QByteArray &bytes)
{
    const QString local = m_home.filePath(QStringLiteral("file-%1").arg(++m_files));
    QFile file(local);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    // A folder of its own, so that tests may reuse a name.
    return m_server.addNotionFile(m_account, "import-1", QStringLiteral("%1/").arg(m_files) + path,
                                  local);
}

QTEST_MAIN(TablesTest)
#include "tst_tables.moc"
