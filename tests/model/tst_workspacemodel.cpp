#include "model/workspacemodel.h"
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

// A clock the test moves by hand.
struct ManualClock
{
    QDateTime now = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 0), Qt::UTC);
    WorkspaceModel::Clock clock()
    {
        return [this] { return now; };
    }
};

std::string_view sv(const char *s)
{
    return s;
}

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
    void boardCardsKeepSpanishDataInEnglish();

    // Language and actions.
    void languageFollowsThePreferenceAcrossRestarts();
    void runReportsFailuresAndStaysBusyUntilTheLastAction();

private:
    QTemporaryDir m_config;
    std::unique_ptr<WorkspaceModel> m_model;
    ManualClock m_clock;
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
    m_clock = ManualClock();
    m_model = offlineModel();
    m_model->setClock(m_clock.clock());
}

void WorkspaceModelTest::aNewPageInANullWorkspaceIsItsOnlyPage()
{
    QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
    QSignalSpy dirty(m_model.get(), &WorkspaceModel::dirtyChanged);
    QSignalSpy selection(m_model.get(), &WorkspaceModel::selectionChanged);

    m_model->newPage(QStringLiteral("document"), false);

    QCOMPARE(workspace.count(), 1);
    QCOMPARE(dirty.count(), 1);
    QCOMPARE(selection.count(), 1);
    const JSON &w = m_model->workspace();
    QCOMPARE(w.size(), 1u); // an object holding "pages" alone
    QCOMPARE(w["pages"].size(), 1u);
    const JSON &page = w["pages"].at(0);
    QCOMPARE(m_model->selection(), QString::fromStdString(std::string(page.id())));
    QVERIFY(m_model->dirty());

    JSON expected = JSON::decode(R"({"title":"Sin título","kind":"document","parentId":null,
        "icon":"📄","favorite":false,"trashed":false,"cover":"","cards":[],
        "createdAt":"2026-03-01T09:30:00Z","updatedAt":"2026-03-01T09:30:00Z"})");
    expected.set("id", page.id());
    expected.set("blocks", page["blocks"]);
    QCOMPARE(page, expected);
    QCOMPARE(page["blocks"].size(), 1u);
    QCOMPARE(page["blocks"].at(0)["type"].stringValue(), sv("text"));
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
    row("meeting, Spanish", "es", "document", true, "Nueva reunión", "🎙️");
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
    QCOMPARE(QString::fromStdString(std::string(page["title"].stringValue())), title);
    QCOMPARE(QString::fromStdString(std::string(page["icon"].stringValue())), icon);
    QCOMPARE(QString::fromStdString(std::string(page["kind"].stringValue())), kind);
    QCOMPARE(page["meeting"], meeting ? JSON(true) : JSON());
}

void WorkspaceModelTest::pagesMadeInTheSameSecondShareTheTimeNotTheId()
{
    m_model->newPage(QStringLiteral("document"), false);
    const std::string first(m_model->selectedPage().id());
    m_clock.now = m_clock.now.addMSecs(400);
    m_model->newPage(QStringLiteral("document"), false, QString::fromStdString(first));

    const auto &pages = m_model->workspace()["pages"].arrayValue();
    QCOMPARE(pages.size(), 2u);
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
    m_model->newPage(QStringLiteral("document"), false);
    const std::string first(m_model->selectedPage().id());
    m_model->newPage(QStringLiteral("document"), false);
    const std::string page(m_model->selectedPage().id());
    const std::string block(m_model->selectedPage()["blocks"].at(0).id());

    m_clock.now = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 5), Qt::OffsetFromUTC, 3600);
    QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
    m_model->updateBlock(page, block, "text", "Hola, ¿qué tal?");
    m_model->addBlock("todo");
    QCOMPARE(workspace.count(), 2);
    const JSON &p = m_model->selectedPage();
    QCOMPARE(p["blocks"].at(0)["text"].stringValue(), sv("Hola, ¿qué tal?"));
    QCOMPARE(p["blocks"].at(1)["type"].stringValue(), sv("todo"));
    QCOMPARE(p["updatedAt"].stringValue(), sv("2026-03-01T11:00:05Z"));
    QCOMPARE(p["createdAt"].stringValue(), sv("2026-03-01T09:30:00Z"));
    const JSON &other = m_model->workspace()["pages"].at(0);
    QCOMPARE(other.id(), std::string_view(first));
    QCOMPARE(other["blocks"].size(), 1u);
    QCOMPARE(other["updatedAt"].stringValue(), sv("2026-03-01T09:30:00Z"));
}

void WorkspaceModelTest::boardCardsKeepSpanishDataInEnglish()
{
    m_model->setLanguage(QStringLiteral("en"));
    m_model->newPage(QStringLiteral("board"), false);
    const std::string board(m_model->selectedPage().id());
    m_model->addCard(board, "En curso");
    m_model->addCard(board, "Listo");
    const JSON card = m_model->selectedPage()["cards"].at(0);
    QCOMPARE(card["title"].stringValue(), sv("New task"));
    QCOMPARE(card["status"].stringValue(), sv("En curso"));
    QCOMPARE(card["priority"].stringValue(), sv("Media"));
    QVERIFY(card.id() != m_model->selectedPage()["cards"].at(1).id());

    m_model->updateCard(board, card.id(), "priority", QStringLiteral("Alta"));
    m_model->rename(board, QStringLiteral("Sprint 12"));
    const JSON &page = m_model->selectedPage();
    QCOMPARE(page["title"].stringValue(), sv("Sprint 12"));
    QCOMPARE(page["cards"].at(0)["priority"].stringValue(), sv("Alta"));
    QCOMPARE(page["cards"].at(1)["priority"].stringValue(), sv("Media"));
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
