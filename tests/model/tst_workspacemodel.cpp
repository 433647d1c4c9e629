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
#include <QTimeZone>

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
    void initTestCase();
    void init();

    // Creating pages.
    void aNewPageInANullWorkspaceIsItsOnlyPage();
    void newPagesAreTitledAndIconedByKindAndLanguage_data();
    void newPagesAreTitledAndIconedByKindAndLanguage();
    void pagesMadeInTheSameSecondShareTheTimeNotTheId();
    void idsAreRandomVersion4Uuids();

    // Editing pages.
    void editsOfAMissingPageLeaveTheModelClean();
    void editsGoToTheSelectedPageStampedInUtc();

    // Language and actions.
    void languageFollowsThePreferenceAcrossRestarts();
    void runReportsFailuresAndStaysBusyUntilTheLastAction();

private:
    QTemporaryDir m_config;
    std::unique_ptr<WorkspaceModel> m_model;
    QDateTime m_now; // the model's clock, moved by hand
};

void WorkspaceModelTest::initTestCase()
{
    // The language preference is written to a settings directory of this test's own.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void WorkspaceModelTest::init()
{
    QSettings().remove(QStringLiteral("language"));
    m_now = start;
    m_model = offlineModel();
    m_model->setClock([this] { return m_now; });
}

void WorkspaceModelTest::aNewPageInANullWorkspaceIsItsOnlyPage()
{
    QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
    QSignalSpy dirty(m_model.get(), &WorkspaceModel::dirtyChanged);
    QSignalSpy selection(m_model.get(), &WorkspaceModel::selectionChanged);
    m_model->newPage("document", false);
    QCOMPARE(workspace.count(), 1);
    QCOMPARE(dirty.count(), 1);
    QCOMPARE(selection.count(), 1);
    QVERIFY(m_model->dirty());

    const JSON &page = m_model->workspace()["pages"].at(0);
    QCOMPARE(m_model->selection(), QString::fromStdString(std::string(page.id())));
    JSON expected = JSON::decode(R"({"title":"Sin título","kind":"document","parentId":null,
        "icon":"📄","favorite":false,"trashed":false,"cover":"","cards":[],
        "createdAt":"2026-03-01T09:30:00Z","updatedAt":"2026-03-01T09:30:00Z"})");
    expected.set("id", page.id());
    expected.set("blocks", JSON::array({JSON::object({{"id", page["blocks"].at(0).id()},
                                                      {"type", "text"},
                                                      {"text", ""},
                                                      {"checked", false}})}));
    QCOMPARE(m_model->workspace(), JSON::object({{"pages", JSON::array({expected})}}));
    QVERIFY(page["blocks"].at(0).id() != page.id());
}

void WorkspaceModelTest::newPagesAreTitledAndIconedByKindAndLanguage_data()
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

void WorkspaceModelTest::newPagesAreTitledAndIconedByKindAndLanguage()
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

void WorkspaceModelTest::pagesMadeInTheSameSecondShareTheTimeNotTheId()
{
    m_model->newPage(QStringLiteral("document"), false);
    const std::string first(m_model->selectedPage().id());
    m_now = m_now.addMSecs(400);
    m_model->newPage(QStringLiteral("document"), false, QString::fromStdString(first));

    const auto &pages = m_model->workspace()["pages"].arrayValue();
    QCOMPARE(pages[0]["createdAt"], pages[1]["createdAt"]);
    QVERIFY(pages[0].id() != pages[1].id());
    QCOMPARE(pages[1]["parentId"].stringValue(), std::string_view(first));
    QCOMPARE(m_model->selection(), QString::fromStdString(std::string(pages[1].id())));
}

void WorkspaceModelTest::idsAreRandomVersion4Uuids()
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    QSet<QString> seen;
    for (int i = 0; i < 2000; ++i) {
        const QString id = QString::fromStdString(WorkspaceModel::newId());
        QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
        seen.insert(id);
    }
    QCOMPARE(seen.size(), 2000);
}

void WorkspaceModelTest::editsOfAMissingPageLeaveTheModelClean()
{
    QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
    m_model->updatePage("nope", [](JSON &page) { page.set("title", "x"); });
    m_model->updateBlock("nope", "b", "text", "x");
    m_model->toggleFavorite("");
    // On the meetings list no page is selected: there is nowhere to add a block.
    m_model->addBlock("text");
    QVERIFY(!m_model->dirty());
    QCOMPARE(workspace.count(), 0);
    QVERIFY(m_model->workspace().isNull());
}

void WorkspaceModelTest::editsGoToTheSelectedPageStampedInUtc()
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

void WorkspaceModelTest::languageFollowsThePreferenceAcrossRestarts()
{
    QSignalSpy language(m_model.get(), &WorkspaceModel::languageChanged);
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    m_model->setLanguage(QStringLiteral("en"));
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Save"));
    QCOMPARE(offlineModel()->language(), QStringLiteral("en"));
    m_model->setLanguage(QStringLiteral("EN"));
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    m_model->setLanguage(QString());
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    QCOMPARE(language.count(), 3);
}

void WorkspaceModelTest::runReportsFailuresAndStaysBusyUntilTheLastAction()
{
    QSignalSpy busy(m_model.get(), &WorkspaceModel::busyChanged);
    bool slowDone = false;
    m_model->run([&slowDone]() -> QCoro::Task<> {
        co_await QCoro::sleepFor(std::chrono::milliseconds(200));
        slowDone = true;
    });
    m_model->run([]() -> QCoro::Task<> {
        co_await QCoro::sleepFor(std::chrono::milliseconds(10));
        throw quorvale::ServiceError(500,
                                     QStringLiteral("No se pudo completar la operación (500): x"));
    });
    QVERIFY(m_model->busy());
    QTRY_COMPARE(m_model->message(), QStringLiteral("No se pudo completar la operación (500): x"));
    QVERIFY(m_model->busy()); // the slow action still runs
    QTRY_VERIFY(slowDone);
    QTRY_VERIFY(!m_model->busy());
    QCOMPARE(busy.count(), 2);
}

QTEST_GUILESS_MAIN(WorkspaceModelTest)
#include "tst_workspacemodel.moc"
