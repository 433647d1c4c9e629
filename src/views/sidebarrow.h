#pragma once

// How a sidebar row looks: an optional tinted symbol, one line of text (page icons are emoji),
// and an optional count badge.

#include <QHash>
#include <QIcon>
#include <QStyledItemDelegate>

namespace quorvale {

class SidebarRowDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SidebarRowDelegate)

public:
    explicit SidebarRowDelegate(QObject *parent = nullptr);

    static int rowHeight(const QFont &font);

    // Off for a tree, which highlights its whole row, indentation included.
    void setPaintsSelection(bool paints) { m_paintsSelection = paints; }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

private:
    bool m_paintsSelection = true;
    mutable QHash<QString, QIcon> m_symbols;
};

} // namespace quorvale
