#include "model/workspacemodel.h"
#include "service/secretstore.h"

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

// A model that talks to nobody: an in-memory keychain and an origin nothing listens on.
std::unique_ptr<WorkspaceModel> offlineModel()
{
    return std::make_unique<WorkspaceModel>(std::make_unique<quorvale::MemorySecretStore>(),
                                            QUrl(QStringLiteral("https://localhost:1")),
                                            QList<QSslCertificate>());
}

} // namespace

class WorkspaceModelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void startsSignedOutOnTheMeetingsList();

    // Creating pages.
    void aNewPageInANullWorkspaceIsItsOnlyPage();
    void newPagesAreTitledAndIconedByKindAndLanguage_data();
    void newPagesAreTitledAndIconedByKindAndLanguage();
    void pagesMadeInTheSameSecondShareTheTimeNotTheId();
    void idsAreRandomVersion4Uuids();

    // Editing pages.
    void editsOfAMissingPageLeaveTheModelClean();
    void blockEditsStampThePageAndMarkItDirty();
    void addBlockAppendsToTheSelectedPageOnly();
    void boardCardsKeepSpanishDataInEnglish();
    void editsNeverReachAnEarlierCopy();

    // Queries and fields.
    void selectedPageIncludesTrashedPages();
    void fieldsNotifyOnlyWhenTheyChange();
    void textFollowsTheLanguage();
    void languagePreferenceSurvivesARestart();
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

void WorkspaceModelTest::startsSignedOutOnTheMeetingsList()
{
    const WorkspaceModel &m = *m_model;
    QVERIFY(m.account().isNull());
    QVERIFY(m.workspace().isNull());
    QCOMPARE(m.selection(), QStringLiteral("@meetings"));
    QCOMPARE(m.language(), QStringLiteral("es"));
    QVERIFY(!m.dirty() && !m.busy() && !m.conflict());
    QCOMPARE(m.revision(), 0);
    QVERIFY(m.meetings().empty() && m.recordings().empty() && m.accounts().empty());
    QVERIFY(m.resources().isNull() && m.transcript().isNull() && m.importPreview().isNull());
    QVERIFY(m.selectedPage().isNull());
    QVERIFY(m.visiblePages().empty());
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
    QVERIFY(m_model->selectedPage().isIdenticalTo(page));
    QVERIFY(m_model->dirty());
    QVERIFY(m_model->recordings().empty() && m_model->resources().isNull());

    JSON expected = JSON::decode(R"({"title":"Sin título","kind":"document","parentId":null,
        "icon":"📄","favorite":false,"trashed":false,"cover":"","cards":[],
        "createdAt":"2026-03-01T09:30:00Z","updatedAt":"2026-03-01T09:30:00Z"})");
    expected.set("id", page.id());
    expected.set("blocks", page["blocks"]);
    QCOMPARE(page, expected);
    QCOMPARE(page["blocks"].size(), 1u);
    const JSON &block = page["blocks"].at(0);
    QCOMPARE(block.size(), 4u);
    QCOMPARE(block["type"].stringValue(), sv("text"));
    QCOMPARE(block["text"].stringValue(), sv(""));
    QCOMPARE(block["checked"], JSON(false));
    QVERIFY(block.id() != page.id());
}

void WorkspaceModelTest::newPagesAreTitledAndIconedByKindAndLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("meeting");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("icon");
    const QString mic = QStringLiteral("\U0001F399\uFE0F");
    const QString board = QStringLiteral("\U0001F4CB");
    const QString doc = QStringLiteral("\U0001F4C4");
    QTest::newRow("meeting, English") << "en"
                                      << "document" << true << "New meeting" << mic;
    QTest::newRow("meeting, Spanish") << "es"
                                      << "document" << true << "Nueva reunión" << mic;
    QTest::newRow("board, English") << "en"
                                    << "board" << false << "Untitled" << board;
    QTest::newRow("document, unknown language is Spanish")
        << "fr"
        << "document" << false << "Sin título" << doc;
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
    QCOMPARE(page.contains("meeting"), meeting);
    if (meeting)
        QCOMPARE(page["meeting"], JSON(true));
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
    QVERIFY(pages[0]["parentId"].isNull());
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
    QSignalSpy dirty(m_model.get(), &WorkspaceModel::dirtyChanged);
    m_model->updatePage("nope", [](JSON &page) { page.set("title", "x"); });
    m_model->updateBlock("nope", "b", "text", "x");
    m_model->toggleFavorite("");
    QVERIFY(!m_model->dirty());
    QCOMPARE(workspace.count(), 0);
    QCOMPARE(dirty.count(), 0);
    QVERIFY(m_model->workspace().isNull());
}

void WorkspaceModelTest::blockEditsStampThePageAndMarkItDirty()
{
    m_model->newPage(QStringLiteral("document"), false);
    const std::string page(m_model->selectedPage().id());
    const std::string block(m_model->selectedPage()["blocks"].at(0).id());

    m_clock.now = m_clock.now.addSecs(75);
    QSignalSpy workspace(m_model.get(), &WorkspaceModel::workspaceChanged);
    m_model->updateBlock(page, block, "text", "Hola, ¿qué tal?");
    m_model->updateBlock(page, block, "checked", true);
    QCOMPARE(workspace.count(), 2);
    const JSON &b = m_model->selectedPage()["blocks"].at(0);
    QCOMPARE(b["text"].stringValue(), sv("Hola, ¿qué tal?"));
    QCOMPARE(b["checked"], JSON(true));
    QCOMPARE(m_model->selectedPage()["updatedAt"].stringValue(), sv("2026-03-01T09:31:15Z"));
    QCOMPARE(m_model->selectedPage()["createdAt"].stringValue(), sv("2026-03-01T09:30:00Z"));

    // A block that is not there still counts as an edit of the page.
    m_clock.now = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 5), Qt::OffsetFromUTC, 3600);
    m_model->updateBlock(page, "missing", "text", "x");
    QCOMPARE(m_model->selectedPage()["updatedAt"].stringValue(), sv("2026-03-01T11:00:05Z"));
    QCOMPARE(m_model->selectedPage()["blocks"].size(), 1u);
    QVERIFY(m_model->dirty());
}

void WorkspaceModelTest::addBlockAppendsToTheSelectedPageOnly()
{
    m_model->newPage(QStringLiteral("document"), false);
    const std::string first(m_model->selectedPage().id());
    m_model->newPage(QStringLiteral("document"), false);
    m_model->addBlock("todo");
    m_model->addBlock("divider");
    const auto &blocks = m_model->selectedPage()["blocks"].arrayValue();
    QCOMPARE(blocks.size(), 3u);
    QCOMPARE(blocks[1]["type"].stringValue(), sv("todo"));
    QCOMPARE(blocks[2]["type"].stringValue(), sv("divider"));
    QCOMPARE(blocks[2]["checked"], JSON(false));
    QCOMPARE(m_model->workspace()["pages"].at(0)["blocks"].size(), 1u);
    QCOMPARE(m_model->workspace()["pages"].at(0).id(), std::string_view(first));

    // On the meetings list no page is selected: there is nowhere to add a block.
    const auto fresh = offlineModel();
    QSignalSpy workspace(fresh.get(), &WorkspaceModel::workspaceChanged);
    fresh->addBlock("text");
    QVERIFY(fresh->workspace().isNull());
    QVERIFY(!fresh->dirty());
    QCOMPARE(workspace.count(), 0);
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
    QCOMPARE(card["tag"].stringValue(), sv(""));

    m_model->updateCard(board, card.id(), "priority", QStringLiteral("Alta"));
    m_model->updateCard(board, card.id(), "title", QStringLiteral("Preparar agenda"));
    m_model->rename(board, QStringLiteral("Sprint 12"));
    m_model->toggleFavorite(board);
    const JSON &page = m_model->selectedPage();
    QCOMPARE(page["title"].stringValue(), sv("Sprint 12"));
    QCOMPARE(page["favorite"], JSON(true));
    QCOMPARE(page["cards"].at(0)["priority"].stringValue(), sv("Alta"));
    QCOMPARE(page["cards"].at(0)["title"].stringValue(), sv("Preparar agenda"));
    QCOMPARE(page["cards"].at(1)["priority"].stringValue(), sv("Media"));
    QVERIFY(page["cards"].at(0).id() != page["cards"].at(1).id());
}

void WorkspaceModelTest::editsNeverReachAnEarlierCopy()
{
    m_model->newPage(QStringLiteral("document"), false);
    const std::string page(m_model->selectedPage().id());
    const JSON snapshot = m_model->workspace(); // what a save would send
    const std::string before = snapshot.encode();
    m_model->rename(page, QStringLiteral("Cambiado"));
    m_model->addBlock("quote");
    QCOMPARE(snapshot.encode(), before);
    QVERIFY(snapshot != m_model->workspace());
}

void WorkspaceModelTest::selectedPageIncludesTrashedPages()
{
    m_model->newPage(QStringLiteral("document"), false);
    m_model->newPage(QStringLiteral("document"), false);
    const std::string page(m_model->selectedPage().id());
    // Another client trashed it.
    m_model->updatePage(page, [](JSON &p) { p.set("trashed", true); });
    QCOMPARE(m_model->selectedPage().id(), std::string_view(page));
    QCOMPARE(m_model->visiblePages().size(), 1u);
    QVERIFY(m_model->visiblePages()[0].id() != std::string_view(page));
}

void WorkspaceModelTest::fieldsNotifyOnlyWhenTheyChange()
{
    QSignalSpy query(m_model.get(), &WorkspaceModel::queryChanged);
    QSignalSpy from(m_model.get(), &WorkspaceModel::fromChanged);
    QSignalSpy to(m_model.get(), &WorkspaceModel::toChanged);
    QSignalSpy message(m_model.get(), &WorkspaceModel::messageChanged);
    m_model->setQuery(QStringLiteral("reunión"));
    m_model->setQuery(QStringLiteral("reunión"));
    m_model->setFrom(QStringLiteral("2026-03-01"));
    m_model->setTo(QStringLiteral("2026-03-31"));
    m_model->setMessage(QStringLiteral("Error"));
    m_model->setMessage(QString());
    QCOMPARE(query.count(), 1);
    QCOMPARE(from.count(), 1);
    QCOMPARE(to.count(), 1);
    QCOMPARE(message.count(), 2);
    QVERIFY(m_model->filteredMeetings().empty());

    // Properties carry the values for any observer that reads them generically.
    QCOMPARE(m_model->property("query").toString(), QStringLiteral("reunión"));
    QVERIFY(m_model->property("workspace").value<JSON>().isNull());
}

void WorkspaceModelTest::textFollowsTheLanguage()
{
    QSignalSpy language(m_model.get(), &WorkspaceModel::languageChanged);
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    m_model->setLanguage(QStringLiteral("en"));
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Save"));
    m_model->setLanguage(QStringLiteral("EN"));
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    m_model->setLanguage(QString());
    QCOMPARE(m_model->text("Guardar", "Save"), QStringLiteral("Guardar"));
    QCOMPARE(language.count(), 3);
}

void WorkspaceModelTest::languagePreferenceSurvivesARestart()
{
    QSettings().remove(QStringLiteral("language"));
    QCOMPARE(offlineModel()->language(), QStringLiteral("es"));
    offlineModel()->setLanguage(QStringLiteral("en"));
    QCOMPARE(QSettings().value(QStringLiteral("language")).toString(), QStringLiteral("en"));
    QCOMPARE(offlineModel()->language(), QStringLiteral("en"));
    QSettings().remove(QStringLiteral("language"));
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
