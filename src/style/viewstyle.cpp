#include "style/viewstyle.h"

#include "style/navstyle.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QLayout>
#include <QPalette>
#include <QVBoxLayout>
#include <QWidget>

namespace quorvale::style {

void setFont(QWidget *widget, Text style)
{
    navstyle::setFont(widget, style);
}

// Colours are the navigation views' own, so that the whole window shares one palette.
void setTextColor(QWidget *widget, const QColor &color)
{
    navstyle::setTextColor(widget, color);
}

void setSecondary(QWidget *widget)
{
    navstyle::setTone(widget, navstyle::Tone::Secondary);
}

void setTertiary(QWidget *widget)
{
    navstyle::setTone(widget, navstyle::Tone::Tertiary);
}

QColor orange()
{
    return navstyle::orange();
}

void setProminent(QAbstractButton *button)
{
    button->setStyleSheet(QStringLiteral(
        "QPushButton { background: #2f6bd8; color: white; border: none; border-radius: 7px;"
        " padding: 8px 22px; font-weight: 600; }"
        "QPushButton:hover { background: #2860c6; }"
        "QPushButton:pressed { background: #214fa6; }"
        "QPushButton:disabled { background: #9db5e4; }"
        "QPushButton:focus { border: 2px solid palette(highlighted-text); }"));
    button->setCursor(Qt::PointingHandCursor);
}

namespace {

const char *const roleProperty = "quorvaleAccessibleRole";

QAccessibleInterface *withRole(const QString &, QObject *object)
{
    const QVariant role = object ? object->property(roleProperty) : QVariant();
    if (!role.isValid() || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object),
                                 static_cast<QAccessible::Role>(role.toInt()));
}

} // namespace

void setToolTipName(QWidget *widget, const QString &text)
{
    widget->setToolTip(text);
    widget->setAccessibleName(text);
}

void setAccessibleRole(QWidget *widget, QAccessible::Role role)
{
    static const bool installed = [] {
        QAccessible::installFactory(withRole);
        return true;
    }();
    Q_UNUSED(installed)
    widget->setProperty(roleProperty, static_cast<int>(role));
}

QVBoxLayout *bareColumn(QWidget *owner, int spacing)
{
    auto *column = new QVBoxLayout(owner);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    return column;
}

void clearLayout(QLayout &layout)
{
    while (QLayoutItem *item = layout.takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

} // namespace quorvale::style
