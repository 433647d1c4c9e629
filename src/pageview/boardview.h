#pragma once

// A board page as three status columns of editable cards. Card widgets are kept by card id
// and updated in place when the model changes; the cards themselves live only in the model.

#include "json/json.h"

#include <QWidget>

#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quorvale {

class GrowingField;

class WorkspaceModel;

class BoardCard final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BoardCard)

public:
    explicit BoardCard(QWidget *parent = nullptr);

    GrowingField *title() const { return m_title; }
    // What reading mode shows: the title, then "priority · tag".
    QLabel *readTitle() const { return m_readTitle; }
    QLabel *readCaption() const { return m_readCaption; }
    QComboBox *status() const { return m_status; }
    QComboBox *priority() const { return m_priority; }
    // The pickers' visible titles, shown above them while editing.
    QLabel *statusTitle() const { return m_statusTitle; }
    QLabel *priorityTitle() const { return m_priorityTitle; }
    const std::string &cardId() const { return m_id; }
    // False for a later card sharing an earlier card's id: an edit would land on the other one.
    bool editable() const { return m_editable; }

private:
    friend class BoardView;
    std::string m_id;
    JSON m_shown; // the card value last drawn, to skip unchanged cards
    bool m_editable = true;
    QLabel *m_readTitle = nullptr;
    QLabel *m_readCaption = nullptr;
    GrowingField *m_title = nullptr;
    QLabel *m_statusTitle = nullptr;
    QComboBox *m_status = nullptr;
    QLabel *m_priorityTitle = nullptr;
    QComboBox *m_priority = nullptr;
};

class BoardView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BoardView)

public:
    BoardView(WorkspaceModel &model, std::string pageId, QWidget *parent = nullptr);

    // Reconciles the cards with the page in the model.
    void refresh();
    // Edit mode shows fields, pickers and "Add card"; reading mode shows text.
    void setEditing(bool editing);
    bool editing() const { return m_editing; }

    // The cards shown in a column, top to bottom; column follows the order of the statuses.
    QList<BoardCard *> cards(int column) const;
    QPushButton *addButton(int column) const;

private:
    struct Column
    {
        QLabel *heading = nullptr;
        QVBoxLayout *cards = nullptr;
        QPushButton *add = nullptr;
    };

    class CardTarget;

    BoardCard *makeCard();
    void draw(BoardCard &card, const JSON &value);
    // Puts the card in its status's column at position, or in none.
    void place(BoardCard &card, const JSON &value, std::vector<int> &filled);
    void setEditable(BoardCard &card, bool editable);
    void showMode(BoardCard &card);
    void fitHeight();
    void edit(BoardCard &card, std::string_view key, const QString &value);
    void relabel();
    void label(BoardCard &card);

    WorkspaceModel &m_model;
    std::string m_pageId;
    bool m_refreshing = false;
    bool m_editing = true;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_content = nullptr;
    std::vector<Column> m_columns;
    // In the page's order; two cards sharing an id still get a widget each.
    std::vector<BoardCard *> m_cards;
};

} // namespace quorvale
