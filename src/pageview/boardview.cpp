#include "pageview/boardview.h"

#include "files/jsontext.h"
#include "pageview/growingfield.h"
#include "pageview/reconcile.h"

#include "model/document.h"
#include "model/workspacemodel.h"
#include "style/viewstyle.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvale {

namespace {

// The column of a card's status; -1 for a status that is none of them (such a card is in no
// column, and stays in the page untouched).
int columnOf(const JSON &card)
{
    const JSON &status = card["status"];
    if (status.isString()) {
        for (std::size_t i = 0; i < std::size(document::cardStatuses); ++i) {
            if (document::cardStatuses[i] == status.stringValue())
                return static_cast<int>(i);
        }
    }
    return -1;
}

// A card of the page, and how many cards before it share its id.
struct CardRow
{
    std::string_view id;
    int occurrence = 0;
};

std::vector<CardRow> cardRows(const JSON::Array &cards)
{
    std::vector<CardRow> rows;
    rows.reserve(cards.size());
    std::unordered_map<std::string_view, int> seen;
    for (const JSON &card : cards) {
        const std::string_view id = card.id();
        rows.push_back({id, seen[id]++});
    }
    return rows;
}

void fill(QComboBox &box, std::span<const std::string_view> options)
{
    for (std::string_view option : options)
        box.addItem(jsontext::text(option));
}

} // namespace

BoardCard::BoardCard(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("boardCard"));
    style::setAccessibleRole(this, QAccessible::Grouping);
    setFixedWidth(220);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#boardCard { background: palette(button); border: 1px solid "
                                 "rgba(128, 128, 128, 40%); border-radius: 10px; }"));
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(14, 14, 14, 14);
    m_readTitle = new QLabel(this);
    m_readTitle->setTextFormat(Qt::PlainText);
    m_readTitle->setWordWrap(true);
    QFont headline = m_readTitle->font();
    headline.setBold(true);
    m_readTitle->setFont(headline);
    m_readCaption = new QLabel(this);
    m_readCaption->setTextFormat(Qt::PlainText);
    style::setFont(m_readCaption, style::Text::Caption);
    style::setSecondary(m_readCaption);
    stack->addWidget(m_readTitle);
    stack->addWidget(m_readCaption);
    m_title = new GrowingField(this);
    m_title->setObjectName(QStringLiteral("cardTitle"));
    m_status = new QComboBox(this);
    m_status->setObjectName(QStringLiteral("cardStatus"));
    m_priority = new QComboBox(this);
    fill(*m_status, document::cardStatuses);
    fill(*m_priority, document::cardPriorities);
    m_statusTitle = new QLabel(this);
    m_priorityTitle = new QLabel(this);
    for (QLabel *title : {m_statusTitle, m_priorityTitle}) {
        style::setFont(title, style::Text::Caption);
        style::setSecondary(title);
    }
    stack->addWidget(m_title);
    stack->addWidget(m_statusTitle);
    stack->addWidget(m_status);
    stack->addWidget(m_priorityTitle);
    stack->addWidget(m_priority);
}

BoardView::BoardView(WorkspaceModel &model, std::string pageId, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_pageId(std::move(pageId))
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    m_scroll = scroll;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // The board scrolls sideways only; the page around it scrolls down.
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);

    // Every card is a child of this one widget, whatever its column: moving a card between
    // columns is then a layout change that keeps its focus and cursor.
    m_content = new QWidget(scroll);
    auto *row = new QHBoxLayout(m_content);
    row->setSpacing(18);
    row->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (std::string_view status : document::cardStatuses) {
        Column column;
        auto *stack = new QVBoxLayout;
        stack->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        column.heading = new QLabel(jsontext::text(status), m_content);
        column.heading->setFixedWidth(250);
        QFont headline = column.heading->font();
        headline.setBold(true);
        column.heading->setFont(headline);
        stack->addWidget(column.heading);
        column.cards = new QVBoxLayout;
        stack->addLayout(column.cards);
        column.add = new QPushButton(m_content);
        column.add->setObjectName(QStringLiteral("addCard"));
        const std::string stored(status);
        connect(column.add, &QPushButton::clicked, this,
                [this, stored] { m_model.addCard(m_pageId, stored); });
        stack->addWidget(column.add, 0, Qt::AlignLeft);
        row->addLayout(stack);
        m_columns.push_back(column);
    }
    // Columns keep their width; the room left over goes here.
    row->addStretch(1);
    scroll->setWidget(m_content);

    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &BoardView::refresh);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &BoardView::relabel);
    relabel();
    refresh();
}

QList<BoardCard *> BoardView::cards(int column) const
{
    QList<BoardCard *> found;
    if (column < 0 || column >= static_cast<int>(m_columns.size()))
        return found;
    QVBoxLayout *layout = m_columns[static_cast<std::size_t>(column)].cards;
    for (int i = 0; i < layout->count(); ++i) {
        if (auto *card = qobject_cast<BoardCard *>(layout->itemAt(i)->widget()))
            found.append(card);
    }
    return found;
}

QPushButton *BoardView::addButton(int column) const
{
    if (column < 0 || column >= static_cast<int>(m_columns.size()))
        return nullptr;
    return m_columns[static_cast<std::size_t>(column)].add;
}

BoardCard *BoardView::makeCard()
{
    auto *card = new BoardCard(m_content);
    label(*card);
    showMode(*card);
    connect(card->m_title, &GrowingField::textEdited, this,
            [this, card](const QString &text) { edit(*card, "title", text); });
    connect(card->m_status, &QComboBox::activated, this,
            [this, card](int index) { edit(*card, "status", card->m_status->itemText(index)); });
    connect(card->m_priority, &QComboBox::activated, this, [this, card](int index) {
        edit(*card, "priority", card->m_priority->itemText(index));
    });
    return card;
}

void BoardView::edit(BoardCard &card, std::string_view key, const QString &value)
{
    if (m_refreshing || !card.m_editable)
        return;
    m_model.updateCard(m_pageId, card.m_id, key, value);
}

void BoardView::draw(BoardCard &card, const JSON &value)
{
    card.m_shown = value;
    const QString title = jsontext::member(value, "title");
    // The field being typed in already shows what the user typed; resetting it would move
    // the cursor and drop the undo history.
    if (!card.m_title->hasFocus() && card.m_title->text() != title)
        card.m_title->setText(title);
    card.setAccessibleName(title);
    // A value that is none of the options shows no selection.
    card.m_status->setCurrentIndex(card.m_status->findText(jsontext::member(value, "status")));
    card.m_priority->setCurrentIndex(
        card.m_priority->findText(jsontext::member(value, "priority")));
    card.m_readTitle->setText(title);
    card.m_readCaption->setText(jsontext::member(value, "priority") + QStringLiteral(" · ") +
                                jsontext::member(value, "tag"));
}

void BoardView::showMode(BoardCard &card)
{
    card.m_readTitle->setVisible(!m_editing);
    card.m_readCaption->setVisible(!m_editing);
    card.m_title->setVisible(m_editing);
    card.m_statusTitle->setVisible(m_editing);
    card.m_status->setVisible(m_editing);
    card.m_priorityTitle->setVisible(m_editing);
    card.m_priority->setVisible(m_editing);
}

void BoardView::setEditing(bool editing)
{
    if (m_editing == editing)
        return;
    m_editing = editing;
    for (Column &column : m_columns)
        column.add->setVisible(m_editing);
    for (BoardCard *card : m_cards)
        showMode(*card);
    fitHeight();
}

// The cards as the reconciler sees them; where each card shows is settled afterwards.
class BoardView::CardTarget
{
public:
    CardTarget(BoardView &view, const JSON::Array &cards)
        : m_view(view)
        , m_values(cards)
    {}

    int count() const { return static_cast<int>(m_view.m_cards.size()); }
    std::string_view key(int i) const { return card(i).m_id; }

    void remove(int first, int last)
    {
        for (int i = first; i <= last; ++i) {
            BoardCard &gone = card(i);
            for (Column &column : m_view.m_columns)
                column.cards->removeWidget(&gone);
            gone.hide();
            gone.deleteLater();
        }
        m_view.m_cards.erase(m_view.m_cards.begin() + first, m_view.m_cards.begin() + last + 1);
    }

    void insert(int at, const CardRow *rows, int n)
    {
        for (int i = at; i < at + n; ++i) {
            BoardCard *made = m_view.makeCard();
            made->m_id = std::string(rows[i - at].id);
            m_view.m_cards.insert(m_view.m_cards.begin() + i, made);
            show(*made, value(i));
        }
    }

    void move(int from, int to)
    {
        auto &cards = m_view.m_cards;
        std::rotate(cards.begin() + to, cards.begin() + from, cards.begin() + from + 1);
    }

    void update(int at, const CardRow &) { show(card(at), value(at)); }

private:
    BoardCard &card(int i) const { return *m_view.m_cards[static_cast<std::size_t>(i)]; }
    const JSON &value(int i) const { return m_values[static_cast<std::size_t>(i)]; }

    // Drawn only when the value changed; a new card starts from nothing shown.
    void show(BoardCard &card, const JSON &wanted)
    {
        if (!card.m_shown.isIdenticalTo(wanted) && card.m_shown != wanted)
            m_view.draw(card, wanted);
    }

    BoardView &m_view;
    const JSON::Array &m_values;
};

void BoardView::refresh()
{
    m_refreshing = true;
    const JSON &page = document::findPage(m_model.workspace(), m_pageId);
    for (Column &column : m_columns)
        column.add->setEnabled(page.isObject());

    const JSON::Array &values = page["cards"].arrayValue();
    const std::vector<CardRow> rows = cardRows(values);
    CardTarget target(*this, values);
    reconcileRows(target, rows);

    std::vector<int> filled(m_columns.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // Edits find a card by id, so only the first of several cards sharing one can be
        // edited; the others are shown read-only rather than edit the wrong card.
        setEditable(*m_cards[i], rows[i].occurrence == 0);
        place(*m_cards[i], values[i], filled);
    }
    m_refreshing = false;
    fitHeight();
}

void BoardView::setEditable(BoardCard &card, bool editable)
{
    if (card.m_editable == editable)
        return;
    card.m_editable = editable;
    card.setEnabled(editable);
    label(card);
}

void BoardView::place(BoardCard &card, const JSON &value, std::vector<int> &filled)
{
    const int index = columnOf(value);
    if (index < 0) {
        for (Column &other : m_columns)
            other.cards->removeWidget(&card);
        card.hide();
        return;
    }
    // A card already at its position is not touched.
    const auto column = static_cast<std::size_t>(index);
    QVBoxLayout *layout = m_columns[column].cards;
    const int position = filled[column]++;
    if (layout->indexOf(&card) != position) {
        for (Column &other : m_columns)
            other.cards->removeWidget(&card);
        layout->insertWidget(position, &card);
    }
    card.show();
}

void BoardView::fitHeight()
{
    // Cards whose fields were just shown or hidden report their new size only once their own
    // layouts have run.
    for (BoardCard *card : m_cards)
        card->layout()->activate();
    m_content->layout()->activate();
    m_scroll->setFixedHeight(m_content->sizeHint().height() +
                             m_scroll->horizontalScrollBar()->sizeHint().height());
}

void BoardView::relabel()
{
    for (Column &column : m_columns)
        column.add->setText(m_model.text("Añadir tarjeta", "Add card"));
    for (BoardCard *card : m_cards)
        label(*card);
}

void BoardView::label(BoardCard &card)
{
    card.m_title->setPlaceholderText(m_model.text("Título", "Title"));
    card.m_statusTitle->setText(m_model.text("Estado", "Status"));
    style::setToolTipName(card.m_status, card.m_statusTitle->text());
    card.m_priorityTitle->setText(m_model.text("Prioridad", "Priority"));
    style::setToolTipName(card.m_priority, card.m_priorityTitle->text());
    card.setToolTip(card.m_editable
                        ? QString()
                        : m_model.text("Otra tarjeta tiene el mismo identificador; esta no se "
                                       "puede editar.",
                                       "Another card has the same id; this one cannot be edited."));
}

} // namespace quorvale
