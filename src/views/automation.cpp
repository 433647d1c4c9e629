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

#include <sys/stat.h>

namespace quorvale {

namespace {

QJsonObject failure(const QString &reason)
{
    return QJsonObject{{QStringLiteral("error"), reason}};
}

// The named widget in any top-level window; a visible one wins over a hidden one.
QWidget *findWidget(const QString &name)
{
    QWidget *hidden = nullptr;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        QList<QWidget *> found = window->findChildren<QWidget *>(name);
        if (window->objectName() == name)
            found.prepend(window);
        for (QWidget *widget : found) {
            if (widget->isVisible())
                return widget;
            if (!hidden)
                hidden = widget;
        }
    }
    return hidden;
}

QAction *findAction(const QString &name)
{
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
        {QStringLiteral("conflict"), m.conflict()},
        {QStringLiteral("busy"), m.busy()},
        {QStringLiteral("message"), m.message()},
        {QStringLiteral("language"), m.language()},
        {QStringLiteral("revision"), m.revision()},
        {QStringLiteral("pages"), pages},
    };
}

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
    const QString name = line.section(u' ', 1, 1);
    const QString rest = line.section(u' ', 2);
    const QJsonObject ok{{QStringLiteral("ok"), true}};

    if (command == QLatin1String("state"))
        return modelState(m_app.model());

    if (command == QLatin1String("widget")) {
        QWidget *widget = findWidget(name);
        if (!widget)
            return QJsonObject{{QStringLiteral("found"), false}};
        return QJsonObject{{QStringLiteral("found"), true},
                           {QStringLiteral("visible"), widget->isVisible()},
                           {QStringLiteral("enabled"), widget->isEnabled()},
                           {QStringLiteral("text"), widgetText(widget)}};
    }

    if (command == QLatin1String("click")) {
        if (auto *button = qobject_cast<QAbstractButton *>(findWidget(name))) {
            if (!button->isVisible() || !button->isEnabled())
                return failure(name + QStringLiteral(" is hidden or disabled"));
            button->click();
            return ok;
        }
        if (QAction *action = findAction(name)) {
            if (!action->isEnabled())
                return failure(name + QStringLiteral(" is disabled"));
            action->trigger();
            return ok;
        }
        return failure(QStringLiteral("no button or action ") + name);
    }

    if (command == QLatin1String("type")) {
        QWidget *edit = findWidget(name);
        auto *lineEdit = qobject_cast<QLineEdit *>(edit);
        auto *field = qobject_cast<QPlainTextEdit *>(edit);
        if ((!lineEdit && !field) || !edit->isVisible() || !edit->isEnabled())
            return failure(QStringLiteral("no usable text field ") + name);
        edit->setFocus(Qt::OtherFocusReason);
        if (lineEdit)
            lineEdit->selectAll();
        else
            field->selectAll();
        for (const QChar character : rest) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(character));
            QApplication::sendEvent(edit, &press);
            QApplication::sendEvent(edit, &release);
        }
        return ok;
    }

    if (command == QLatin1String("choose")) {
        auto *combo = qobject_cast<QComboBox *>(findWidget(name));
        if (!combo || !combo->isVisible() || !combo->isEnabled())
            return failure(QStringLiteral("no usable combo box ") + name);
        int index = combo->findData(rest);
        if (index < 0)
            index = combo->findText(rest);
        if (index < 0)
            return failure(QStringLiteral("no entry ") + rest);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        return ok;
    }

    if (command == QLatin1String("grab")) {
        // The screen's pixels where the window is: dialogs over it show too.
        QWidget *window = name == QLatin1String("-") ? &m_app.window() : findWidget(name);
        if (!window || !window->isVisible() || !window->windowHandle())
            return failure(QStringLiteral("no visible window to grab"));
        const QRect area = window->frameGeometry();
        QScreen *screen = window->windowHandle()->screen();
        const QPixmap pixels =
            screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        if (pixels.isNull() || !pixels.save(rest, "PNG"))
            return failure(QStringLiteral("could not save ") + rest);
        return ok;
    }

    if (command == QLatin1String("select")) {
        m_app.model().select(name);
        return ok;
    }

    if (command == QLatin1String("render")) {
        // The whole widget, also what lies outside its scroll area's viewport.
        QWidget *widget = findWidget(name);
        if (!widget || !widget->isVisible())
            return failure(QStringLiteral("no visible widget ") + name);
        if (!widget->grab().save(rest, "PNG"))
            return failure(QStringLiteral("could not save ") + rest);
        return ok;
    }

    if (command == QLatin1String("quit")) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        return ok;
    }
    return failure(QStringLiteral("unknown command ") + command);
}

} // namespace quorvale
