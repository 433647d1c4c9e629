#include "pageview/pageview.h"
#include "recorder/meetingrecorder.h"
#include "recordingpanel/meetingaudio.h"
#include "style/scheme.h"
#include "support/modeltesting.h"
#include "support/relabelling.h"
#include "support/viewtesting.h"
#include "support/xdghome.h"
#include "views/rootview.h"
#include "views/workspaceview.h"

#include <QAccessible>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QMessageBox>
#include <QPlainTextEdit>

using namespace quorvale;
using namespace quorvale::test;

namespace {

uint desktopScheme = 0; // 1 prefers dark

// The desktop's settings portal, as far as the colour scheme goes.
class FakePortal final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public slots:
    // The real portal wraps the value in one variant more than its signal does.
    QDBusVariant Read(const QString &, const QString &)
    {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(desktopScheme)));
    }
};

// A document of paragraphs by their texts ("Dos" is a to-do), a board and a meeting.
JSON sample(std::initializer_list<std::string_view> texts)
{
    JSON::Array blocks;
    for (std::string_view text : texts)
        blocks.push_back(JSON::object(
            {{"id", text}, {"type", text == "Dos" ? "todo" : "paragraph"}, {"text", text}}));
    const JSON card =
        JSON::object({{"id", "c1"}, {"title", "Gamma"}, {"status", "todo"}, {"tag", ""}});
    return workspace(
        {with(page("doc", "Alpha"), "blocks", JSON(std::move(blocks))),
         with(with(page("board", "Beta"), "kind", "board"), "cards", JSON::array({card})),
         with(page("meet", "Delta"), "meeting", true)});
}

// Titles and texts of the sample: the same in both languages.
const QStringList data = QStringLiteral("Alpha Beta Gamma Delta Uno Dos Tres Cuatro").split(u' ');

// WCAG contrast of a widget's text on its window, 1 to 21 (with the usual 2.2 gamma).
double contrast(const QWidget *w)
{
    const auto lum = [](const QColor &c) {
        return 0.2126 * std::pow(c.redF(), 2.2) + 0.7152 * std::pow(c.greenF(), 2.2) +
               0.0722 * std::pow(c.blueF(), 2.2) + 0.05;
    };
    const double a = lum(w->palette().color(w->foregroundRole()));
    const double b = lum(w->window()->palette().color(QPalette::Window));
    return std::max(a, b) / std::min(a, b);
}

// The names of the interactive elements under node, by place.
void names(QAccessibleInterface *node, const QString &place, QMap<QString, QString> &found)
{
    using A = QAccessible;
    static const QList<A::Role> interactive{
        A::PushButton,  A::CheckBox, A::ComboBox, A::EditableText, A::Slider,
        A::ListItem,    A::TreeItem, A::MenuItem, A::ButtonMenu,   A::ButtonDropDown,
        A::RadioButton, A::SpinBox,  A::List,     A::Tree};
    if (!node || node->state().invisible)
        return;
    const QString here = node->object() ? detail::placeOf(node->object()) : place;
    if (interactive.contains(node->role()))
        found.insert(here, node->text(QAccessible::Name).trimmed());
    for (int i = 0; i < node->childCount(); ++i)
        names(node->child(i), here + u'/' + QString::number(i), found);
}

} // namespace

class LooksTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void theWindowFollowsTheDesktopsScheme();
    void everyBlockAndRowIsReachedByKeyboard();
    void everyControlIsNamedInBothLanguages();

private:
    XdgHome m_home;
    ReferenceServer m_server;
    std::unique_ptr<WorkspaceModel> m_model;
    MeetingRecorder m_recorder;
    std::unique_ptr<MeetingAudio> m_audio;
    std::unique_ptr<RootView> m_root;
};

// One signed-in window holding a page of blocks, a board and a meeting, for every test.
void LooksTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_server.start());
    Accounts accounts(m_server);
    accounts.add(QStringLiteral("admin@example.test"));
    m_model = serverModel(m_server, accounts.add(QStringLiteral("ui@example.test")));
    QCOMPARE(errorOf(m_model->connect()), QString());
    m_model->setWorkspace(sample({"Uno", "Dos", "Tres"}));
    m_model->select(QStringLiteral("doc"));
    m_audio = std::make_unique<MeetingAudio>(*m_model, m_recorder);
    m_root = std::make_unique<RootView>(*m_model, nullptr, m_audio.get());
    m_root->resize(1200, 800);
    m_root->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_root.get()));
}

void LooksTest::theWindowFollowsTheDesktopsScheme()
{
    // On the test's own session bus (scripts/with-keyring), as a second connection.
    FakePortal portal;
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal"));
    QVERIFY(bus.registerObject(path, &portal, QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    auto offline = offlineModel();
    RootView access(*offline);
    access.show();
    style::SchemeWatcher watcher;
    QWidget *sidebar = child(*m_root, "sidebar");
    const QList<QWidget *> texts{child(*m_root, "quorvaleHeader"), child(*m_root, "pageTitleLabel"),
                                 child(access, "accessTagline"), child(access, "signInNote")};
    const QDir shots(QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"));
    QVERIFY(shots.mkpath(QStringLiteral(".")));

    for (uint scheme : {0u, 1u, 0u}) {
        const bool dark = scheme == 1;
        const QString suffix = dark ? QStringLiteral("-dark.png") : QStringLiteral("-light.png");
        desktopScheme = scheme;
        bus.send(QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Settings"),
                                            QStringLiteral("SettingChanged"))
                 << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
                 << QVariant::fromValue(QDBusVariant(scheme)));
        QTRY_COMPARE(style::currentScheme(), dark ? style::Scheme::Dark : style::Scheme::Light);
        // Widgets take the new palette as events reach them: the real colours are awaited.
        QTRY_COMPARE(sidebar->grab().toImage().pixelColor(1, 1).lightness() < 128, dark);
        for (const QWidget *label : texts)
            QVERIFY2(contrast(label) >= 4.5, qPrintable(label->objectName()));
        for (QWidget *shown : {child(access, "accessScreen"), sidebar, child(*m_root, "pageView")})
            QVERIFY(shown->grab().save(shots.filePath(shown->objectName() + suffix)));
    }
}

void LooksTest::everyBlockAndRowIsReachedByKeyboard()
{
    RootView &root = *m_root;
    root.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&root));
    const auto focused = [] { return QApplication::focusWidget(); };

    // The sidebar's tree by arrows: the selection follows.
    QWidget *tree = child(root, "pageTree");
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Down);
    QCOMPARE(m_model->selection(), QStringLiteral("board"));
    QTest::keyClick(tree, Qt::Key_Up);
    QCOMPARE(m_model->selection(), QStringLiteral("doc"));
    QWidget *detail = root.findChild<WorkspaceView *>()->detail();
    QTRY_VERIFY(detail->isVisible());
    QTest::keyClick(tree, Qt::Key_Return);
    QCOMPARE(focused(), detail);

    // A block added in the middle later than the others still comes in page order.
    m_model->setWorkspace(sample({"Uno", "Cuatro", "Dos", "Tres"}));
    auto *page = root.findChild<PageView *>();
    const QList<QWidget *> rows = page->rows();
    rows[0]->setFocus();
    for (int i : {1, 2, 3}) {
        QTest::keyClick(focused(), Qt::Key_Tab);
        QCOMPARE(focused(), rows[i]);
    }
    QTest::keyClick(focused(), Qt::Key_Backtab);
    QCOMPARE(focused(), rows[2]);

    // Enter edits the block, typing goes into it, Escape reads it again, on the same block.
    QTest::keyClick(focused(), Qt::Key_Return);
    QVERIFY(page->editing());
    QCOMPARE(focused(), page->rows().at(2)->findChild<QPlainTextEdit *>());
    QTest::keyClick(focused(), Qt::Key_Escape);
    QVERIFY(!page->editing());
    QCOMPARE(focused(), page->rows().at(2));

    // A confirmation goes away with Escape, and nothing happens.
    child<QPushButton>(root, "signOut")->click();
    QPointer<QMessageBox> box = root.signOutConfirmation();
    QTRY_VERIFY(box && box->isVisible());
    QTest::keyClick(box, Qt::Key_Escape);
    QTRY_VERIFY(!box);
    QVERIFY(m_model->approved());
}

void LooksTest::everyControlIsNamedInBothLanguages()
{
    // The document twice: reading, then editing.
    for (auto [id, editing] :
         {std::pair{"doc", false}, {"doc", true}, {"board", false}, {"meet", false}}) {
        m_model->select(QString::fromLatin1(id));
        if (auto *page = m_root->findChild<PageView *>())
            page->setEditing(editing);
        QMap<QString, QString> spanish, english;
        for (auto [language, found] : {std::pair{"es", &spanish}, {"en", &english}}) {
            m_model->setLanguage(QString::fromLatin1(language));
            names(QAccessible::queryAccessibleInterface(m_root.get()), {}, *found);
        }
        QStringList faults;
        for (auto it = spanish.cbegin(); it != spanish.cend(); ++it) {
            if (it->isEmpty() || english.value(it.key()).isEmpty())
                faults << it.key() + QStringLiteral(" has no name");
            else if (detail::hasWords(*it) && english.value(it.key()) == *it &&
                     !sameInBothLanguages().contains(*it) && !data.contains(it->split(u' ').last()))
                faults << it.key() + QStringLiteral(" stays ") + *it;
        }
        QCOMPARE(faults.join(u'\n'), QString());
    }
}

QTEST_MAIN(LooksTest)
#include "tst_looks.moc"
