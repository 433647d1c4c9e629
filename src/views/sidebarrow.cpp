#include "sidebarrow.h"

#include "rowmodel.h"
#include "style/navstyle.h"

#include <QPainter>

namespace quorvale {

namespace {

constexpr int padding = 8;
constexpr int symbolSize = 16;

} // namespace

SidebarRowDelegate::SidebarRowDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

int SidebarRowDelegate::rowHeight(const QFont &font)
{
    return std::max(QFontMetrics(font).height() + 12, 28);
}

QSize SidebarRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width() > 0 ? option.rect.width() : 200, rowHeight(option.font)};
}

void SidebarRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const
{
    painter->save();
    const QRect rect = option.rect;
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const bool hovered = option.state.testFlag(QStyle::State_MouseOver);
    if (m_paintsSelection)
        navstyle::paintRowBackground(painter, QRectF(rect).adjusted(2, 1, -2, -1), option.palette,
                                     selected, hovered);
    // The view's current row while it has the keyboard.
    if (option.state.testFlag(QStyle::State_HasFocus))
        navstyle::paintFocusRing(painter, QRectF(rect).adjusted(2, 1, -2, -1), option.palette);

    int left = rect.left() + padding;
    int right = rect.right() - padding;

    const QString symbol = index.data(SymbolRole).toString();
    if (!symbol.isEmpty()) {
        auto found = m_symbols.find(symbol);
        if (found == m_symbols.end())
            found = m_symbols.insert(symbol, navstyle::tintedIcon(symbol, navstyle::orange()));
        const QRect box(left, rect.top() + (rect.height() - symbolSize) / 2, symbolSize,
                        symbolSize);
        found->paint(painter, box);
        left += symbolSize + padding;
    }

    const QVariant count = index.data(CountRole);
    if (count.isValid() && count.toLongLong() > 0) {
        const QFont badgeFont = navstyle::font(navstyle::Text::Caption, option.font);
        const QFontMetrics metrics(badgeFont);
        const QString number = QString::number(count.toLongLong());
        const int width = std::max(metrics.horizontalAdvance(number) + 12, metrics.height() + 4);
        const int height = metrics.height() + 4;
        const QRect badge(right - width + 1, rect.top() + (rect.height() - height) / 2, width,
                          height);
        QColor fill = option.palette.color(QPalette::WindowText);
        fill.setAlphaF(0.1f);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(badge, height / 2.0, height / 2.0);
        painter->setFont(badgeFont);
        painter->setPen(navstyle::secondary(option.palette));
        painter->drawText(badge, Qt::AlignCenter, number);
        right = badge.left() - padding;
    }

    painter->setFont(option.font);
    painter->setPen(option.palette.color(QPalette::Text));
    const QRect textBox(left, rect.top(), std::max(0, right - left + 1), rect.height());
    const QString text =
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                      textBox.width(), Qt::TextSingleLine);
    painter->drawText(textBox, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
    painter->restore();
}

} // namespace quorvale
