#include "viewstyle.h"

#include <QAbstractButton>
#include <QPalette>
#include <QWidget>

namespace quorvale::style {

namespace {

QColor blend(const QColor &over, const QColor &under, float amount)
{
    return QColor::fromRgbF(over.redF() * amount + under.redF() * (1 - amount),
                            over.greenF() * amount + under.greenF() * (1 - amount),
                            over.blueF() * amount + under.blueF() * (1 - amount));
}

QColor textTint(const QWidget *widget, float amount)
{
    const QPalette &palette = widget->palette();
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), amount);
}

} // namespace

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

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

void setSecondary(QWidget *widget)
{
    setTextColor(widget, textTint(widget, 0.6f));
}

void setTertiary(QWidget *widget)
{
    setTextColor(widget, textTint(widget, 0.4f));
}

QColor orange()
{
    return QColor(0xf2, 0x8c, 0x28);
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
