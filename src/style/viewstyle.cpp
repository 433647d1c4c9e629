#include "style/viewstyle.h"

#include "style/navstyle.h"

#include <QAbstractButton>
#include <QPalette>
#include <QWidget>

namespace quorvale::style {

void setFont(QWidget *widget, Text style)
{
    QFont f = widget->font();
    const qreal size = f.pointSizeF() > 0 ? f.pointSizeF() : 10;
    switch (style) {
    case Text::Brand:
        f.setPixelSize(38);
        f.setBold(true);
        break;
    case Text::LargeTitle:
        f.setPointSizeF(size * 2.0);
        f.setBold(true);
        break;
    case Text::Title2:
        f.setPointSizeF(size * 1.5);
        break;
    case Text::Title3:
        f.setPointSizeF(size * 1.25);
        break;
    case Text::Callout:
        f.setPointSizeF(size * 0.92);
        break;
    case Text::Caption:
        f.setPointSizeF(size * 0.85);
        break;
    }
    widget->setFont(f);
}

// Colours are the navigation views' own, so that the whole window shares one palette.
void setTextColor(QWidget *widget, const QColor &color)
{
    navstyle::setTextColor(widget, color);
}

void setSecondary(QWidget *widget)
{
    navstyle::setTextColor(widget, navstyle::secondary(widget->palette()));
}

void setTertiary(QWidget *widget)
{
    navstyle::setTextColor(widget, navstyle::tertiary(widget->palette()));
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
        "QPushButton:disabled { background: #9db5e4; }"));
    button->setCursor(Qt::PointingHandCursor);
}

} // namespace quorvale::style
