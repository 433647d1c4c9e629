#include "model/workspacemodel.h"
#include "support/httpsclient.h"
#include "support/modeltesting.h"

#include <QCoroTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using quorvale::JSON;
using quorvale::WorkspaceModel;
using quorvale::test::offlineModel;

namespace {

const QDateTime start(QDate(2026, 3, 1), QTime(9, 30, 0), Qt::UTC);

} // namespace

// The model's own part of editing: which page, when, in which language, and what it tells its
// observers. The rules of the document itself are the document suite's.
class WorkspaceModelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The language preference is written to a settings directory of this test's own.
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    }

    void init()
    {
        QSettings().remove("language");
        m_now = start;
        m_model = offlineModel();
        m_model->setClock([this] { return m_now; });
    }

    // Creating pages.
    void aNewPageInANullWorkspaceIsItsOnlyPage()
    {
        QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
        QSignalSpy dirty(m_model.get(), &WorkspaceModel::dirtyChanged);
        QSignalSpy selection(m_model.get(), &WorkspaceModel::selectionChanged);
        // Edits of a page that is not there, and a block with no page selected, change nothing.
        m_model->updatePage("nope", [](JSON &page) { page.set("title", "x"); });
        m_model->updateBlock("nope", "b", "text", "x");
        m_model->toggleFavorite("");
        m_model->addBlock("text");
        QVERIFY(m_model->workspace().isNull() && !m_model->dirty());
        m_model->newPage("document", false);
        QCOMPARE(workspace.count(), 1);
        QCOMPARE(dirty.count(), 1);
        QCOMPARE(selection.count(), 1);
        QVERIFY(m_model->dirty());

        // The page's members are the document suite's; here, that it is the one selected.
        const JSON &page = m_model->workspace()["pages"].at(0);
        QCOMPARE(m_model->workspace()["pages"].size(), 1u);
        QCOMPARE(m_model->selection(), QString::fromStdString(std::string(page.id())));
        QVERIFY(page["blocks"].at(0).id() != page.id());
    }

    void newPagesAreTitledAndIconedByKindAndLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("meeting");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("icon");
        const auto row = [](const char *name, const char *language, const char *kind, bool meeting,
                            const char *title, const char *icon) {
            QTest::newRow(name) << QString::fromUtf8(language) << QString::fromUtf8(kind) << meeting
                                << QString::fromUtf8(title) << QString::fromUtf8(icon);
        };
        row("meeting, English", "en", "document", true, "New meeting", "🎙️");
        row("board, English", "en", "board", false, "Untitled", "📋");
        row("document, unknown language is Spanish", "fr", "document", false, "Sin título", "📄");
    }

    void newPagesAreTitledAndIconedByKindAndLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, kind);
        QFETCH(bool, meeting);
        QFETCH(QString, title);
        QFETCH(QString, icon);
        m_model->setLanguage(language);
        m_model->newPage(kind, meeting);
        const JSON &page = m_model->selectedPage();
        QCOMPARE(page["title"], JSON(title.toStdString()));
        QCOMPARE(page["icon"], JSON(icon.toStdString()));
        QCOMPARE(page["kind"], JSON(kind.toStdString()));
        QCOMPARE(page["meeting"], meeting ? JSON(true) : JSON());
    }

    void pagesMadeInTheSameSecondShareTheTimeNotTheId()
    {
        m_model->newPage("document", false);
        const std::string first(m_model->selectedPage().id());
        m_now = m_now.addMSecs(400);
        m_model->newPage("document", false, QString::fromStdString(first));

        const auto &pages = m_model->workspace()["pages"].arrayValue();
        QCOMPARE(pages[0]["createdAt"], pages[1]["createdAt"]);
        QVERIFY(pages[0].id() != pages[1].id());
        QCOMPARE(pages[1]["parentId"].stringValue(), std::string_view(first));
        QCOMPARE(m_model->selection(), QString::fromStdString(std::string(pages[1].id())));
    }

    void idsAreRandomVersion4Uuids()
    {
        static const QRegularExpression form(QStringLiteral(
            "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString id = QString::fromStdString(WorkspaceModel::newId());
            QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
            seen.insert(id);
        }
        QCOMPARE(seen.size(), 2000);
    }

    // Editing pages.
    void editsGoToTheSelectedPageStampedInUtc()
    {
        m_model->newPage("document", false);
        const JSON first = m_model->selectedPage();
        m_model->newPage("document", false);
        const std::string page(m_model->selectedPage().id());
        const std::string block(m_model->selectedPage()["blocks"].at(0).id());

        m_now = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 5), Qt::OffsetFromUTC, 3600);
        QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
        m_model->updateBlock(page, block, "text", "Hola, ¿qué tal?");
        m_model->addBlock("todo");
        QCOMPARE(workspace.count(), 2);
        const JSON &p = m_model->selectedPage();
        QCOMPARE(p["blocks"].at(0)["text"], JSON("Hola, ¿qué tal?"));
        QCOMPARE(p["blocks"].at(1)["type"], JSON("todo"));
        QCOMPARE(p["updatedAt"], JSON("2026-03-01T11:00:05Z"));
        QCOMPARE(p["createdAt"], JSON("2026-03-01T09:30:00Z"));
        QCOMPARE(m_model->workspace()["pages"].at(0), first);
    }

    // Language and actions.
    void languageFollowsThePreferenceAcrossRestarts()
    {
        QSignalSpy language(m_model.get(), &WorkspaceModel::languageChanged);
        QCOMPARE(m_model->text("Guardar", "Save"), "Guardar");
        m_model->setLanguage("en");
        QCOMPARE(m_model->text("Guardar", "Save"), "Save");
        QCOMPARE(offlineModel()->language(), "en");
        m_model->setLanguage("EN");
        QCOMPARE(m_model->text("Guardar", "Save"), "Guardar");
        QCOMPARE(language.count(), 2);
    }

    void runReportsFailuresAndStaysBusyUntilTheLastAction()
    {
        QSignalSpy busy(m_model.get(), &WorkspaceModel::busyChanged);
        bool slowDone = false;
        m_model->run([&slowDone]() -> QCoro::Task<> {
            co_await QCoro::sleepFor(std::chrono::milliseconds(200));
            slowDone = true;
        });
        m_model->run([]() -> QCoro::Task<> {
            co_await QCoro::sleepFor(std::chrono::milliseconds(10));
            throw quorvale::ServiceError(500, "No se pudo completar la operación (500): x");
        });
        QVERIFY(m_model->busy());
        QTRY_COMPARE(m_model->message(), "No se pudo completar la operación (500): x");
        QVERIFY(m_model->busy()); // the slow action still runs
        QTRY_VERIFY(slowDone);
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(busy.count(), 2);
    }

private:
    QTemporaryDir m_config;
    std::unique_ptr<WorkspaceModel> m_model;
    QDateTime m_now; // the model's clock, moved by hand
};

QTEST_GUILESS_MAIN(WorkspaceModelTest)
#include "tst_workspacemodel.moc"
