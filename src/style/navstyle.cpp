#include "style/navstyle.h"

#include "style/icons.h"

#include <QApplication>
#include <QFontInfo>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QWidget>

namespace quorvale::navstyle {

namespace {

QColor blend(const QColor &over, const QColor &under, float amount)
{
    return QColor::fromRgbF(over.redF() * amount + under.redF() * (1 - amount),
                            over.greenF() * amount + under.greenF() * (1 - amount),
                            over.blueF() * amount + under.blueF() * (1 - amount));
}

// Paints the SVG's shape in one colour at whatever size and scale is asked.
class TintedEngine final : public QIconEngine
{
public:
    TintedEngine(QIcon source, QColor color)
        : m_source(std::move(source))
        , m_color(color)
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap shape = render(rect.size(), ratio, mode, state);
        painter->drawPixmap(rect, shape);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return render(size, 1.0, mode, state);
    }

    QIconEngine *clone() const override { return new TintedEngine(m_source, m_color); }

private:
    QPixmap render(const QSize &size, qreal ratio, QIcon::Mode mode, QIcon::State state) const
    {
        const QSize pixels = (QSizeF(size) * ratio).toSize();
        QPixmap shape = m_source.pixmap(pixels, QIcon::Normal, state);
        shape.setDevicePixelRatio(1.0);
        {
            QPainter p(&shape);
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            QColor color = m_color;
            if (mode == QIcon::Disabled)
                color.setAlphaF(color.alphaF() * 0.4f);
            p.fillRect(shape.rect(), color);
        }
        shape.setDevicePixelRatio(ratio);
        return shape;
    }

    QIcon m_source;
    QColor m_color;
};

} // namespace

QFont withEmoji(const QFont &base)
{
    static const QStringList emoji = {QStringLiteral("Noto Color Emoji"),
                                      QStringLiteral("Apple Color Emoji"),
                                      QStringLiteral("Segoe UI Emoji")};
    // The family actually used comes first: a generic name such as "Sans Serif" is no family,
    // and would leave the emoji font to draw every character.
    QStringList families{QFontInfo(base).family()};
    for (const QString &family : emoji) {
        if (!families.contains(family))
            families << family;
    }
    QFont f = base;
    f.setFamilies(families);
    return f;
}

QFont font(Text style, const QFont &base)
{
    QFont f = withEmoji(base);
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10;
    switch (style) {
    case Text::Brand:
        f.setPixelSize(38);
        f.setBold(true);
        break;
    case Text::LargeTitle:
        f.setPointSizeF(size * 2.0);
        f.setBold(true);
        break;
    case Text::Title:
        f.setPointSizeF(size * 1.75);
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
    case Text::Headline:
        f.setBold(true);
        break;
    case Text::Body:
        break;
    case Text::Caption:
        f.setPointSizeF(size * 0.85);
        break;
    case Text::SectionHeader:
        f.setPointSizeF(size * 0.85);
        f.setBold(true);
        break;
    }
    return f;
}

void setFont(QWidget *widget, Text style)
{
    widget->setFont(font(style, QApplication::font(widget)));
}

QColor secondary(const QPalette &palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.6f);
}

QColor tertiary(const QPalette &palette)
{
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.35f);
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QColor orange()
{
    return QColor(0xf2, 0x8c, 0x28);
}

QIcon tintedIcon(const QString &name, const QColor &color)
{
    return QIcon(new TintedEngine(icon(name), color));
}

void paintRowBackground(QPainter *painter, const QRectF &rect, const QPalette &palette,
                        bool selected, bool hovered)
{
    if (!selected && !hovered)
        return;
    QColor fill = palette.color(QPalette::Active, QPalette::Highlight);
    fill.setAlphaF(selected ? 0.22f : 0.08f);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(rect, 6, 6);
    painter->restore();
}

} // namespace quorvale::navstyle
