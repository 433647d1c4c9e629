#include "automation.h"
#include "files/jsontext.h"

#include "quorvaleapp.h"
#include "style/viewstyle.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <array>
#include <utility>

#include <sys/stat.h>

namespace quorvale {

namespace {

QJsonObject failure(const QString &reason)
{
    return QJsonObject{{QStringLiteral("error"), reason}};
}

// The named widget in any top-level window; a visible one wins over a hidden one. "NAME#N" is
// the Nth visible one of several sharing the name, such as a page's blocks.
QWidget *findWidget(const QString &name)
{
    const qsizetype hash = name.lastIndexOf(u'#');
    const QString bare = hash > 0 ? name.left(hash) : name;
    int skip = hash > 0 ? name.mid(hash + 1).toInt() - 1 : 0;
    QWidget *hidden = nullptr;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        QList<QWidget *> found = window->findChildren<QWidget *>(bare);
        if (window->objectName() == bare)
            found.prepend(window);
        for (QWidget *widget : found) {
            if (widget->isVisible() && skip-- == 0)
                return widget;
            if (!hidden && !widget->isVisible())
                hidden = widget;
        }
    }
    return hidden;
}

QString widgetText(const QWidget *widget);

// "SCOPE/NAME": the widget or action named or labelled NAME nearest to the visible widget named
// or showing SCOPE; rows share their widgets' names, so one is told by what it shows (an e-mail).
QObject *findScoped(const QString &path)
{
    const QString scope = path.section(u'/', 0, -2);
    const QString name = path.section(u'/', -1);
    const auto named = [&](QObject *object) {
        if (object->objectName() == name)
            return true;
        if (auto *action = qobject_cast<QAction *>(object))
            return action->text() == name;
        auto *widget = qobject_cast<QWidget *>(object);
        return widget && widget->isVisible() && widgetText(widget) == name;
    };
    const QWidgetList widgets = QApplication::allWidgets();
    for (QWidget *anchor : widgets) {
        if (!anchor->isVisible() || (anchor->objectName() != scope && widgetText(anchor) != scope))
            continue;
        for (QWidget *around = anchor; around; around = around->parentWidget()) {
            const QList<QObject *> inside = around->findChildren<QObject *>();
            const auto found = std::find_if(inside.begin(), inside.end(), named);
            if (found != inside.end())
                return *found;
        }
    }
    return nullptr;
}

QWidget *lookUp(const QString &name)
{
    return name.contains(u'/') ? qobject_cast<QWidget *>(findScoped(name)) : findWidget(name);
}

QAction *findAction(const QString &name)
{
    if (name.contains(u'/'))
        return qobject_cast<QAction *>(findScoped(name));
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *action = window->findChild<QAction *>(name))
            return action;
    }
    return nullptr;
}

QString widgetText(const QWidget *widget)
{
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    if (auto *edit = qobject_cast<const QPlainTextEdit *>(widget))
        return edit->toPlainText();
    if (auto *combo = qobject_cast<const QComboBox *>(widget))
        return combo->currentText();
    if (auto *box = qobject_cast<const QMessageBox *>(widget))
        return box->text();
    return widget->windowTitle();
}

QJsonObject modelState(WorkspaceModel &m)
{
    QJsonArray pages;
    for (const JSON &page : m.visiblePages())
        pages.append(
            QJsonObject{{QStringLiteral("id"), jsontext::text(page.id())},
                        {QStringLiteral("title"), jsontext::text(page["title"].stringValue())}});
    const JSON &account = m.account();
    return QJsonObject{
        {QStringLiteral("signedIn"), !account.isNull()},
        {QStringLiteral("status"), jsontext::text(account["status"].stringValue())},
        {QStringLiteral("email"), jsontext::text(account["email"].stringValue())},
        {QStringLiteral("approved"), m.approved()},
        {QStringLiteral("selection"), m.selection()},
        {QStringLiteral("dirty"), m.dirty()},
        // The local draft or the server holds every edit so far: what a crash cannot take.
        {QStringLiteral("kept"), m.editsKept()},
        {QStringLiteral("draftOpened"), m.draftOpened()},
        {QStringLiteral("conflict"), m.conflict()},
        {QStringLiteral("busy"), m.busy()},
        {QStringLiteral("message"), m.message()},
        {QStringLiteral("language"), m.language()},
        {QStringLiteral("revision"), m.revision()},
        {QStringLiteral("pages"), pages},
    };
}

QJsonObject done()
{
    return QJsonObject{{QStringLiteral("ok"), true}};
}

// Each command gets the words after its name: the first, and the rest of the line.
using Handler = QJsonObject (*)(QuorvaleApp &app, const QString &name, const QString &rest);

QJsonObject state(QuorvaleApp &app, const QString &, const QString &)
{
    return modelState(app.model());
}

QJsonObject describe(QuorvaleApp &, const QString &name, const QString &)
{
    QWidget *widget = lookUp(name);
    if (!widget)
        return QJsonObject{{QStringLiteral("found"), false}};
    // What a container shows in its labels, such as a transcript's lines.
    QStringList shown;
    for (const QLabel *label : widget->findChildren<QLabel *>()) {
        if (label->isVisible())
            shown.append(label->text());
    }
    return QJsonObject{{QStringLiteral("found"), true},
                       {QStringLiteral("visible"), widget->isVisible()},
                       {QStringLiteral("enabled"), widget->isEnabled()},
                       {QStringLiteral("text"), widgetText(widget)},
                       {QStringLiteral("shown"), shown.join(u'\n')}};
}

QJsonObject click(QuorvaleApp &, const QString &name, const QString &)
{
    if (auto *button = qobject_cast<QAbstractButton *>(lookUp(name))) {
        if (!button->isVisible() || !button->isEnabled())
            return failure(name + QStringLiteral(" is hidden or disabled"));
        button->click();
        return done();
    }
    if (QAction *action = findAction(name)) {
        if (!action->isEnabled())
            return failure(name + QStringLiteral(" is disabled"));
        action->trigger();
        return done();
    }
    return failure(QStringLiteral("no button or action ") + name);
}

QJsonObject keys(const QString &name, const QString &text, bool replace)
{
    QWidget *edit = lookUp(name);
    auto *lineEdit = qobject_cast<QLineEdit *>(edit);
    auto *field = qobject_cast<QPlainTextEdit *>(edit);
    if ((!lineEdit && !field) || !edit->isVisible() || !edit->isEnabled())
        return failure(QStringLiteral("no usable text field ") + name);
    edit->setFocus(Qt::OtherFocusReason);
    if (lineEdit && replace)
        lineEdit->selectAll();
    else if (lineEdit)
        lineEdit->end(false);
    else if (replace)
        field->selectAll();
    else
        field->moveCursor(QTextCursor::End);
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(edit, &press);
        QApplication::sendEvent(edit, &release);
    }
    return done();
}

QJsonObject typeText(QuorvaleApp &, const QString &name, const QString &text)
{
    return keys(name, text, true);
}

// Types after what the field holds, one keystroke at a time.
QJsonObject appendText(QuorvaleApp &, const QString &name, const QString &text)
{
    return keys(name, text, false);
}

QJsonObject choose(QuorvaleApp &, const QString &name, const QString &value)
{
    auto *combo = qobject_cast<QComboBox *>(lookUp(name));
    if (!combo || !combo->isVisible() || !combo->isEnabled())
        return failure(QStringLiteral("no usable combo box ") + name);
    int index = combo->findData(value);
    if (index < 0)
        index = combo->findText(value);
    if (index < 0)
        return failure(QStringLiteral("no entry ") + value);
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return done();
}

QJsonObject grab(QuorvaleApp &app, const QString &name, const QString &path)
{
    // The screen's pixels where the window is: dialogs over it show too.
    QWidget *window = name == QLatin1String("-") ? &app.window() : findWidget(name);
    if (!window || !window->isVisible() || !window->windowHandle())
        return failure(QStringLiteral("no visible window to grab"));
    const QRect area = window->frameGeometry();
    QScreen *screen = window->windowHandle()->screen();
    const QPixmap pixels = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (pixels.isNull() || !pixels.save(path, "PNG"))
        return failure(QStringLiteral("could not save ") + path);
    return done();
}

QJsonObject selectTag(QuorvaleApp &app, const QString &id, const QString &)
{
    app.model().select(id);
    return done();
}

QJsonObject render(QuorvaleApp &, const QString &name, const QString &path)
{
    // The whole widget, also what lies outside its scroll area's viewport.
    QWidget *widget = findWidget(name);
    if (!widget || !widget->isVisible())
        return failure(QStringLiteral("no visible widget ") + name);
    if (!widget->grab().save(path, "PNG"))
        return failure(QStringLiteral("could not save ") + path);
    return done();
}

QJsonObject pickFile(QuorvaleApp &app, const QString &first, const QString &rest)
{
    // The system's open and save panels cannot be driven from here: from now on they answer
    // the path, spaces and all.
    const QString path = rest.isEmpty() ? first : first + u' ' + rest;
    app.model().setOpenPanel([path] { return path; });
    app.model().setSavePanel([path](const QString &) { return path; });
    return done();
}

QJsonObject quitApp(QuorvaleApp &, const QString &, const QString &)
{
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    return done();
}

constexpr std::array<std::pair<QLatin1String, Handler>, 11> commands{{
    {QLatin1String("state"), state},
    {QLatin1String("widget"), describe},
    {QLatin1String("click"), click},
    {QLatin1String("type"), typeText},
    {QLatin1String("append"), appendText},
    {QLatin1String("choose"), choose},
    {QLatin1String("grab"), grab},
    {QLatin1String("select"), selectTag},
    {QLatin1String("render"), render},
    {QLatin1String("pick"), pickFile},
    {QLatin1String("quit"), quitApp},
}};

} // namespace

Automation::Automation(QuorvaleApp &app, const QString &socketPath, QObject *parent)
    : QObject(parent)
    , m_app(app)
{
    // A path in a directory of the test's own; never a name in a shared namespace.
    if (!QDir::isAbsolutePath(socketPath))
        return;
    // Made private from the start, and never over a file that is already there (which a
    // socket option or a removeServer would replace).
    const mode_t mask = ::umask(077);
    const bool listening = m_server.listen(socketPath);
    ::umask(mask);
    if (listening)
        connect(&m_server, &QLocalServer::newConnection, this, &Automation::accept);
}

void Automation::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                const QString line = QString::fromUtf8(socket->readLine()).trimmed();
                const QJsonObject reply = answer(line);
                socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
            }
        });
    }
}

QJsonObject Automation::answer(const QString &line)
{
    const QString command = line.section(u' ', 0, 0);
    for (const auto &[name, handler] : commands) {
        if (command == name)
            return handler(m_app, line.section(u' ', 1, 1), line.section(u' ', 2));
    }
    return failure(QStringLiteral("unknown command ") + command);
}

} // namespace quorvale
