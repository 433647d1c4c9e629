#include "pagesearchview.h"
#include "files/jsontext.h"

#include "model/textsearch.h"
#include "model/workspacemodel.h"
#include "rowmodel.h"
#include "style/navstyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QStyledItemDelegate>

namespace quorvale {

namespace {

// A result: the page's icon and title, and a quiet "Imported" tag for imported pages.
class ResultDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        return {option.rect.width() > 0 ? option.rect.width() : 400,
                QFontMetrics(option.font).height() + 2 * 5 + 8};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        painter->save();
        const QRect rect = option.rect;
        navstyle::paintRowBackground(painter, QRectF(rect).adjusted(2, 1, -2, -1), option.palette,
                                     option.state.testFlag(QStyle::State_Selected),
                                     option.state.testFlag(QStyle::State_MouseOver));
        int right = rect.right() - 12;
        const QString tag = index.data(DetailRole).toString();
        if (!tag.isEmpty()) {
            const QFont caption = navstyle::font(navstyle::Text::Caption, option.font);
            const int width = QFontMetrics(caption).horizontalAdvance(tag);
            painter->setFont(caption);
            painter->setPen(navstyle::secondary(option.palette));
            painter->drawText(QRect(right - width + 1, rect.top(), width, rect.height()),
                              Qt::AlignVCenter | Qt::AlignRight, tag);
            right -= width + 12;
        }
        const int left = rect.left() + 12;
        const int width = std::max(0, right - left);
        painter->setFont(option.font);
        painter->setPen(option.palette.color(QPalette::Text));
        painter->drawText(QRect(left, rect.top(), width, rect.height()),
                          Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                          option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                        Qt::ElideRight, width, Qt::TextSingleLine));
        painter->restore();
    }
};

} // namespace

PageSearchView::PageSearchView(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_rows(new RowModel(this))
    , m_list(new QListView(this))
    , m_title(new QLabel(this))
    , m_search(new QLineEdit(this))
{
    setFont(navstyle::withEmoji(font()));
    m_title->setObjectName(QStringLiteral("title"));
    navstyle::setFont(m_title, navstyle::Text::LargeTitle);
    m_search->setObjectName(QStringLiteral("search"));
    m_search->setClearButtonEnabled(true);
    m_search->setTextMargins(2, 10, 2, 10);
    m_search->addAction(navstyle::tintedIcon(QStringLiteral("search"), navstyle::Tone::Secondary),
                        QLineEdit::LeadingPosition);

    m_list->setObjectName(QStringLiteral("results"));
    m_list->setModel(m_rows);
    m_list->setItemDelegate(new ResultDelegate(m_list));
    m_list->setUniformItemSizes(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setMouseTracking(true);
    m_selection = new SelectionBinding(m_list, model);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 16);
    layout->setSpacing(14);
    layout->addWidget(m_title);
    layout->addWidget(m_search);
    layout->addWidget(m_list, 1);

    connect(m_search, &QLineEdit::textChanged, this, &PageSearchView::showResults);
    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &PageSearchView::showResults);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &PageSearchView::relabel);
    relabel();
}

QString PageSearchView::search() const
{
    return m_search->text();
}

void PageSearchView::setSearch(const QString &search)
{
    m_search->setText(search);
}

JSON::Array PageSearchView::results(const JSON::Array &pages, const QString &search)
{
    if (search.isEmpty())
        return pages;
    TextSearch needle(search.toStdString());
    JSON::Array found;
    for (const JSON &page : pages) {
        bool hit = needle.foundIn(page["title"].stringValue());
        for (const JSON &block : page["blocks"].arrayValue()) {
            if (hit)
                break;
            hit = needle.foundIn(block["text"].stringValue());
        }
        if (hit)
            found.push_back(page);
    }
    return found;
}

void PageSearchView::relabel()
{
    m_title->setText(m_model.text("Todas las páginas", "All pages"));
    m_search->setPlaceholderText(
        m_model.text("Buscar título o contenido…", "Search titles or content…"));
    showResults();
}

void PageSearchView::showResults()
{
    const QString imported = m_model.text("Importada", "Imported");
    std::vector<Row> rows;
    for (const JSON &page : results(m_model.visiblePages(), m_search->text())) {
        const std::string_view id = page.id();
        rows.push_back({jsontext::text(id),
                        pageRowText(page["icon"].stringValue(), page["title"].stringValue()),
                        page["importBatchId"].stringValue().empty() ? QString() : imported,
                        {},
                        {}});
    }
    m_rows->reconcile(rows);
    m_selection->sync();
}

} // namespace quorvale
