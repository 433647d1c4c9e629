// Notion exports brought in through the import sheet against the real server: previewed,
// renamed and added under the new folder; cancelled or dismissed with the server told; a stale
// preview refused with nothing lost; an oversized archive refused unread; previews read
// leniently and the sheet's texts in both languages.

#include "files/jsontext.h"
#include "pageview/pageview.h"
#include "support/cannedserver.h"
#include "support/files.h"
#include "support/httpsclient.h"
#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/servertesting.h"
#include "support/viewtesting.h"
#include "support/zipwriter.h"
#include "views/importsheet.h"
#include "views/rootview.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace quorvale;
using namespace quorvale::test;

namespace {

// Runs the model's action to its end and answers the message it left.
QString settle(const WorkspaceModel &m)
{
    if (!QTest::qWaitFor([&m] { return !m.busy(); }, 30000))
        return QStringLiteral("(still busy)");
    return m.message();
}

} // namespace

class ImportSheetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_server.start());
        m_accounts.add(QStringLiteral("admin@example.test"));
    }

    void init() { QSettings().remove(QStringLiteral("language")); }

    void aRenamedPreviewIsAddedUnderItsFolder()
    {
        auto m = signedIn(exportArchive(QStringLiteral("Export Team.zip")));
        QVERIFY(m);
        const qint64 revision = m->revision();
        RootView root(*m);
        root.resize(1100, 750);
        root.show();

        // The export's progress shows while it is sent, and goes once it has arrived.
        qint64 sent = -1;
        bool shown = false;
        connect(m.get(), &WorkspaceModel::importProgressChanged, this, [&] {
            if (m->importTotal() == 0)
                return;
            QVERIFY(m->importSent() >= sent);
            sent = m->importSent();
            shown |= child<QLabel>(root, "importProgress")->isVisible();
        });
        child<QPushButton>(root, "importNotion")->click();
        QCOMPARE(settle(*m), QString());
        QVERIFY(shown);
        QCOMPARE(sent, QFileInfo(m_files.filePath(QStringLiteral("Export Team.zip"))).size());
        QVERIFY(!child<QLabel>(root, "importProgress")->isVisible());
        ImportSheet *sheet = root.importSheet();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(text(*sheet, "count:pages"), "3"); // the folder and the two pages

        // The end-to-end run types a folder's name into the sheet; this one is named in the model.
        m->setImportRootTitle(QStringLiteral("Equipo"));
        child<QPushButton>(*sheet, "commitImport")->click();
        QCOMPARE(settle(*m), QString());
        QTRY_VERIFY(!root.importSheet());
        QVERIFY(m->revision() > revision);

        // Under the renamed folder, beside the page the user had.
        const JSON *team = pageTitled(m->workspace()["pages"], "Equipo");
        const JSON *home = pageTitled(m->workspace()["pages"], "Home");
        const JSON *plan = pageTitled(m->workspace()["pages"], "Plan");
        QVERIFY(team && home && plan && (*team)["parentId"].isNull());
        QCOMPARE((*home)["parentId"].stringValue(), team->id());
        QCOMPARE((*plan)["parentId"].stringValue(), home->id());
        QVERIFY(pageTitled(m->workspace()["pages"], "My page"));
        // The model holds what the server keeps.
        HttpsClient client(m_server);
        const JSON stored = client.get("/api/workspace", m_token.toStdString()).json();
        QCOMPARE(stored["revision"].integerValue(), m->revision());
        QCOMPARE(stored["workspace"], m->workspace());

        // In the page view the link between the imported pages leads to the page; nothing still
        // points into the export.
        const QString homeId = jsontext::text(home->id());
        const QString planId = jsontext::text(plan->id());
        m->select(homeId);
        PageView view(*m, homeId);
        QPushButton *toPlan = nullptr;
        for (QPushButton *link : view.findChildren<QPushButton *>(QStringLiteral("pageLink"))) {
            if (link->text() == u"Plan")
                toPlan = link;
        }
        QVERIFY(toPlan);
        for (const QLabel *label : view.findChildren<QLabel *>())
            QVERIFY2(!label->text().contains(u".md\""), qPrintable(label->text()));
        toPlan->click();
        QCOMPARE(m->selection(), planId);
    }

    void cancellingOrDismissingTellsTheServer()
    {
        auto m = signedIn(exportArchive(QStringLiteral("cancel.zip")));
        QVERIFY(m);
        const JSON before = m->workspace();
        const qint64 revision = m->revision();
        RootView root(*m);
        root.show();

        const auto dismissals = {"button", "escape"};
        for (const std::string_view how : dismissals) {
            m->importZIP();
            QCOMPARE(settle(*m), QString());
            ImportSheet *sheet = root.importSheet();
            QVERIFY(sheet);
            const std::string path = "/api/notion-imports/" + std::string(m->importPreview().id());
            if (how == "button") {
                child<QPushButton>(*sheet, "cancelImport")->click();
            } else {
                QVERIFY(QTest::qWaitForWindowActive(sheet));
                QTest::keyClick(sheet, Qt::Key_Escape);
            }
            QVERIFY2(m->importPreview().isNull(), how.data());
            QTRY_VERIFY(!root.importSheet());
            // Told once (what the server then forgets is its own suite's).
            QTRY_COMPARE(requests(m_server, "DELETE", path), 1);
        }
        QVERIFY(m->workspace().isIdenticalTo(before));
        QCOMPARE(m->revision(), revision);
    }

    void aStalePreviewIsRefusedAndNothingIsLost()
    {
        auto m = signedIn(exportArchive(QStringLiteral("stale.zip")));
        QVERIFY(m);
        RootView root(*m);
        root.show();
        m->importZIP();
        QCOMPARE(settle(*m), QString());
        m->setImportRootTitle(QStringLiteral("Mine"));
        const JSON preview = m->importPreview();

        // Edits made here since the preview would be replaced by the server's workspace: they stay.
        m->newPage(QStringLiteral("document"), false);
        const JSON edited = m->workspace();
        m->commitImport();
        QCOMPARE(settle(*m), "Guarda tus cambios antes de añadir la importación.");
        QVERIFY(m->workspace().isIdenticalTo(edited));
        QVERIFY(m->importPreview().isIdenticalTo(preview));
        root.alert()->buttons().constFirst()->click();

        // Saved, the workspace has moved on: the server refuses, the sheet stays with the name.
        QCOMPARE(errorOf(m->save()), QString());
        m->commitImport();
        QVERIFY(!settle(*m).isEmpty() && root.alert() && root.importSheet());
        QVERIFY(m->importPreview().isIdenticalTo(preview));
        QCOMPARE(child<QLineEdit>(*root.importSheet(), "folderName")->text(), "Mine");
        QVERIFY(m->workspace().isIdenticalTo(edited));
    }

    void anArchiveOverTheLimitIsRefusedUnread()
    {
        // Sparse, and unreadable: only its size on disk can refuse it.
        const QString big = m_files.filePath(QStringLiteral("big.zip"));
        {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(NotionImport::limit + 1));
        }
        QVERIFY(::chmod(QFile::encodeName(big).constData(), 0) == 0);
        auto m = signedIn(big);
        QVERIFY(m);
        const qsizetype before = previews();
        m->newPage(QStringLiteral("document"), false);
        m->importZIP();
        QCOMPARE(settle(*m), "ZIP > 512 MB");
        QCOMPARE(previews(), before);
        QVERIFY(m->dirty()); // nothing was saved for it either
    }

    void previewsAreReadLenientlyAndTheEditSentBack()
    {
        CannedServer canned(m_server.dataDir() + "/server.pem",
                            m_server.dataDir() + "/server-key.pem");
        QVERIFY(canned.listen());
        auto m = test::cannedModel(m_server, canned);
        // A name with characters that mean something in a query.
        const QString archive = exportArchive(QStringLiteral("Q&A = 1 + 1#.zip"));
        m->setOpenPanel([archive] { return archive; });
        RootView root(*m);
        root.show();

        const QByteArray preview = R"({"id":"a/b?c","revision":{"n":7},"rootTitle":"<b>Q</b>",
            "name":"<i>Q&A</i>","summary":{"pages":3.9,"tables":"2","files":-1.5},
            "items":[{"title":"<b>One</b>","path":"x/One.md"},5,{"path":7}],
            "warnings":[{"code":"a"},{"code":"b"},"odd",{"code":"a"}],"canImport":"true"})";
        canned.reply(CannedServer::response(200, preview));
        m->importZIP();
        QCOMPARE(settle(*m), QString());
        // The archive went whole and byte for byte, under its own name.
        QCOMPARE(canned.requests()[0].target,
                 "/api/notion-imports/preview?name=Q%26A%20%3D%201%20%2B%201%23.zip");
        QCOMPARE(canned.requests()[0].headers.value("content-type"), "application/zip");
        QCOMPARE(canned.requests()[0].body, readAll(archive));

        ImportSheet *sheet = root.importSheet();
        QVERIFY(sheet);
        QCOMPARE(text(*sheet, "archiveName"), "<i>Q&A</i>");
        QCOMPARE(child<QLabel>(*sheet, "archiveName")->textFormat(), Qt::PlainText);
        const struct
        {
            const char *key;
            const char *shown;
        } counts[] = {{"pages", "3"}, {"tables", "0"}, {"files", "-1"}, {"audio", "0"}};
        for (const auto &count : counts) {
            QCOMPARE(text(*sheet, (QByteArray("count:") + count.key).constData()), count.shown);
            QCOMPARE(text(*sheet, (QByteArray("key:") + count.key).constData()), count.key);
        }
        QCOMPARE(text(*child(*sheet, "item:0"), "title"), "<b>One</b>");
        QCOMPARE(text(*child(*sheet, "item:2"), "path"), "");
        QCOMPARE(text(*sheet, "warnings"), "Advertencias: a, b, ");
        // Only the boolean true allows adding.
        QVERIFY(!child<QPushButton>(*sheet, "commitImport")->isEnabled());

        // Every text follows the language; the archive's own words and the summary keys do not.
        QCOMPARE(relabelFaults(*m, {"<i>Q&A</i>", "<b>Q</b>", "<b>One</b>", "x/One.md", "pages",
                                    "tables", "files", "audio", "3", "0", "-1"}),
                 QString());

        // The commit sends the revision as read and the name as edited.
        m->setImportRootTitle(QStringLiteral("Nuevo"));
        canned.reply(CannedServer::response(
            200, R"({"workspace":{"schemaVersion":1,"pages":[]},"revision":9.7})"));
        canned.reply(CannedServer::response(200, R"({"workspace":{"pages":[]},"revision":9})"));
        canned.reply(CannedServer::response(200, R"({"meetings":[]})"));
        m->commitImport();
        settle(*m);
        QCOMPARE(canned.requests()[1].target, "/api/notion-imports/a%2Fb%3Fc/commit");
        QCOMPARE(JSON::decode(canned.requests()[1].body.toStdString()),
                 JSON::decode(R"({"revision":{"n":7},"title":"Nuevo"})"));
        QVERIFY(m->importPreview().isNull());
        QCOMPARE(m->revision(), 9);

        // Signing out closes a pending preview, and one answered after the sign-out is not shown
        // to whoever signs in next.
        canned.reply(CannedServer::response(200, preview));
        m->importZIP();
        QVERIFY(settle(*m).isEmpty() && root.importSheet());
        m->clearPrivateMemory();
        QVERIFY(m->importPreview().isNull());
        QTRY_VERIFY(!root.importSheet());
        canned.reply(CannedServer::response(200, preview));
        m->importZIP();
        QVERIFY(m->busy());
        m->clearPrivateMemory();
        QCOMPARE(settle(*m), QString());
        QCOMPARE(canned.requests().size(), 6);
        QVERIFY(m->importPreview().isNull());
        QVERIFY(!root.importSheet());
    }

private:
    // Home, linking to its subpage Plan and to a page missing from the export.
    QString exportArchive(const QString &name)
    {
        const std::string home = "Home " + homeId;
        const QString file = m_files.filePath(name);
        ZipWriter zip(file.toStdString());
        zip.add(home + ".md", "# Home\n\nWelcome.\n\n[Plan](Home%20" + homeId + "/Plan%20" +
                                  planId +
                                  ".md)\n\n[Gone](Gone%2022222222222222222222222222222222.md)\n");
        zip.add(home + "/Plan " + planId + ".md", "# Plan\n\nSteps.\n");
        zip.close();
        return file;
    }

    // A model of a new approved account whose workspace holds one page of its own, connected
    // and loaded, with an open panel that picks archive.
    std::unique_ptr<WorkspaceModel> signedIn(const QString &archive)
    {
        m_token = m_accounts.add(QStringLiteral("user%1@example.test").arg(++m_users));
        auto m = serverModel(m_server, m_token);
        HttpsClient client(m_server);
        const JSON mine = workspace({page("mine", "My page")});
        if (client
                .put("/api/workspace", m_token.toStdString(),
                     JSON::object({{"revision", 0}, {"workspace", mine}}))
                .status != 200)
            return nullptr;
        if (!errorOf(m->connect()).isEmpty() || !errorOf(m->load()).isEmpty())
            return nullptr;
        m->setOpenPanel([archive] { return archive; });
        return m;
    }

    qsizetype previews() const
    {
        qsizetype count = 0;
        for (const QByteArray &line : m_server.accessLog())
            count += line.contains("/api/notion-imports/preview");
        return count;
    }

    ReferenceServer m_server;
    Accounts m_accounts{m_server};
    QTemporaryDir m_files;
    QString m_token;
    int m_users = 0;
};

QTEST_MAIN(ImportSheetTest)
#include "tst_importsheet.moc"
