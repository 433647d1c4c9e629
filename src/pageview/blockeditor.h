#pragma once

// The edit-mode row of one block: its type menu, the to-do check box and its text. Holds no
// block data; every change goes straight to the model and the row redraws from it.

#include "json/json.h"

#include <QWidget>

#include <string>

class QCheckBox;
class QPlainTextEdit;
class QToolButton;

namespace quorvale {

class WorkspaceModel;

class BlockEditor final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BlockEditor)

public:
    BlockEditor(WorkspaceModel &model, std::string pageId, std::string blockId,
                QWidget *parent = nullptr);

    // Height of the text editor for a text: 22 points a line, kept between 50 and 300.
    static int textHeight(const QString &text);

    // Redraws from the block in the model. The text is left alone while it has focus, so the
    // cursor and the undo history survive each keystroke's round trip through the model.
    void refresh();
    // Redraws from a block value the owner already found; the owner then stops the row from
    // looking the block up itself on every change of the workspace (a long page would pay
    // for every row on every keystroke).
    void draw(const JSON &block);
    void followOwner();

    QToolButton *typeButton() const { return m_type; }
    QCheckBox *checkBox() const { return m_check; }
    QPlainTextEdit *textEdit() const { return m_text; }

signals:
    // Escape: done editing.
    void leaveRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    const JSON &currentBlock() const;
    void fitHeight();
    void relabel();
    void write(std::string_view key, JSON value);

    WorkspaceModel &m_model;
    std::string m_pageId;
    std::string m_blockId;
    JSON m_shown;
    bool m_present = true;
    bool m_refreshing = false;
    QToolButton *m_type = nullptr;
    QCheckBox *m_check = nullptr;
    QPlainTextEdit *m_text = nullptr;
};

} // namespace quorvale
