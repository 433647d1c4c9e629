#include "style/navstyle.h"

#include "style/icons.h"

#include <QApplication>
#include <QEvent>
#include <QFontInfo>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QWidget>

#include <functional>

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
    TintedEngine(QIcon source, std::function<QColor()> color)
        : m_source(std::move(source))
        , m_color(std::move(color))
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
            QColor color = m_color();
            if (mode == QIcon::Disabled)
                color.setAlphaF(color.alphaF() * 0.4f);
            p.fillRect(shape.rect(), color);
        }
        shape.setDevicePixelRatio(ratio);
        return shape;
    }

    QIcon m_source;
    std::function<QColor()> m_color;
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
    // Strong enough for 4.5:1 against the window in both schemes.
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.66f);
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
    return QIcon(new TintedEngine(icon(name), [color] { return color; }));
}

QIcon tintedIcon(const QString &name, Tone tone)
{
    return QIcon(
        new TintedEngine(icon(name), [tone] { return toneColor(QApplication::palette(), tone); }));
}

QColor toneColor(const QPalette &palette, Tone tone)
{
    switch (tone) {
    case Tone::Primary:
        return palette.color(QPalette::WindowText);
    case Tone::Secondary:
        return secondary(palette);
    case Tone::Tertiary:
        return tertiary(palette);
    }
    return palette.color(QPalette::WindowText);
}

namespace {

const char *const toneProperty = "quorvaleTone";

// Works a widget's tone out again whenever the palette around it changes.
class ToneKeeper final : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
            refreshTone(static_cast<QWidget *>(watched));
        return false;
    }
};

} // namespace

void setTone(QWidget *widget, Tone tone)
{
    static ToneKeeper keeper;
    if (!widget->property(toneProperty).isValid())
        widget->installEventFilter(&keeper);
    widget->setProperty(toneProperty, static_cast<int>(tone));
    refreshTone(widget);
}

void refreshTone(QWidget *widget)
{
    const QVariant tone = widget->property(toneProperty);
    if (!tone.isValid())
        return;
    // From the surroundings: the widget's own text colour is the tone itself.
    const QWidget *parent = widget->parentWidget();
    const QColor color = toneColor(parent ? parent->palette() : QApplication::palette(widget),
                                   static_cast<Tone>(tone.toInt()));
    // Setting it is itself a palette change: only a new colour is set.
    if (widget->palette().color(QPalette::WindowText) != color)
        setTextColor(widget, color);
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

void paintFocusRing(QPainter *painter, const QRectF &rect, const QPalette &palette)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(palette.color(QPalette::Active, QPalette::Highlight), 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(rect.adjusted(1, 1, -1, -1), 6, 6);
    painter->restore();
}

} // namespace quorvale::navstyle
