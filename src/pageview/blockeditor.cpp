#include "pageview/blockeditor.h"

#include "files/jsontext.h"
#include "pageview/blockview.h"

#include "model/document.h"
#include "model/workspacemodel.h"
#include "style/icons.h"
#include "style/viewstyle.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QToolButton>

#include <algorithm>

namespace quorvale {

BlockEditor::BlockEditor(WorkspaceModel &model, std::string pageId, std::string blockId,
                         QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_pageId(std::move(pageId))
    , m_blockId(std::move(blockId))
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setAlignment(Qt::AlignTop);

    m_type = new QToolButton(this);
    m_type->setObjectName(QStringLiteral("blockType"));
    m_type->setIcon(icon(QStringLiteral("line-3-horizontal")));
    m_type->setAutoRaise(true);
    m_type->setFixedWidth(24);
    m_type->setPopupMode(QToolButton::InstantPopup);
    auto *menu = new QMenu(m_type);
    // The kinds are shown by their own names in every language.
    for (std::string_view kind : document::editableBlockTypes) {
        const QString name = jsontext::text(kind);
        menu->addAction(name, this, [this, name] { write("type", jsontext::value(name)); });
    }
    m_type->setMenu(menu);
    row->addWidget(m_type, 0, Qt::AlignTop);

    m_check = new QCheckBox(this);
    m_check->setObjectName(QStringLiteral("blockChecked"));
    connect(m_check, &QCheckBox::toggled, this, [this](bool on) { write("checked", JSON(on)); });
    row->addWidget(m_check, 0, Qt::AlignTop);

    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("blockText"));
    m_text->setFrameShape(QFrame::NoFrame);
    m_text->document()->setDocumentMargin(8);
    // Tab goes on to the next block; a tab character has no place in a block's text.
    m_text->setTabChangesFocus(true);
    m_text->setStyleSheet(QStringLiteral("QPlainTextEdit { background: %1; border-radius: 6px; }")
                              .arg(quaternaryFill(0.3f)));
    connect(m_text, &QPlainTextEdit::textChanged, this, [this] {
        const QString text = m_text->toPlainText();
        fitHeight();
        write("text", jsontext::value(text));
    });
    // A long line wraps: the editor grows with it rather than scroll inside a 50-point box.
    connect(m_text->document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged,
            this, &BlockEditor::fitHeight);
    row->addWidget(m_text, 1, Qt::AlignTop);

    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &BlockEditor::refresh);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &BlockEditor::relabel);
    relabel();
    refresh();
}

void BlockEditor::keyPressEvent(QKeyEvent *event)
{
    // The text, the type and the check box leave Escape to their row.
    if (event->key() == Qt::Key_Escape)
        emit leaveRequested();
    else
        QWidget::keyPressEvent(event);
}

int BlockEditor::textHeight(const QString &text)
{
    const auto lines = static_cast<int>(std::min<qsizetype>(text.count(QLatin1Char('\n')), 1000));
    return std::clamp((lines + 1) * 22, 50, 300);
}

void BlockEditor::fitHeight()
{
    const QString text = m_text->toPlainText();
    int height = textHeight(text);
    // A line that wraps makes more lines than the text has: the editor then grows with them
    // rather than scroll inside its box. (For plain text the layout counts wrapped lines.)
    const double wrapped = m_text->document()->documentLayout()->documentSize().height();
    if (wrapped > static_cast<double>(text.count(QLatin1Char('\n')) + 1)) {
        const int lines = static_cast<int>(std::min(wrapped, 100.0));
        // The margins, and a little room for the last line's descent.
        const int needed = lines * m_text->fontMetrics().lineSpacing() +
                           2 * static_cast<int>(m_text->document()->documentMargin()) + 6;
        height = std::max(height, std::min(needed, 300));
    }
    m_text->setFixedHeight(height);
}

const JSON &BlockEditor::currentBlock() const
{
    static const JSON none;
    const JSON &page = document::findPage(m_model.workspace(), m_pageId);
    for (const JSON &block : page["blocks"].arrayValue()) {
        if (block.id() == m_blockId)
            return block;
    }
    return none;
}

void BlockEditor::write(std::string_view key, JSON value)
{
    // Programmatic updates of the controls are not user edits; an orphaned row writes nothing.
    if (m_refreshing || !m_present)
        return;
    m_model.updateBlock(m_pageId, m_blockId, key, std::move(value));
}

void BlockEditor::followOwner()
{
    disconnect(&m_model, &WorkspaceModel::workspaceChanged, this, &BlockEditor::refresh);
}

void BlockEditor::refresh()
{
    draw(currentBlock());
}

void BlockEditor::draw(const JSON &block)
{
    if (!block.isObject()) {
        // The block was removed elsewhere: keep what is shown but stop writing.
        m_present = false;
        setEnabled(false);
        return;
    }
    if (m_present && m_shown.isIdenticalTo(block))
        return;
    m_shown = block;
    m_present = true;
    setEnabled(true);
    m_refreshing = true;

    const JSON &type = block["type"];
    const bool todo = type.isString() && type.stringValue() == "todo";
    m_check->setVisible(todo);
    m_check->setChecked(block["checked"].isBool() && block["checked"].boolValue());

    const bool code = type.isString() && type.stringValue() == "code";
    m_text->setFont(code ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                         : QFontDatabase::systemFont(QFontDatabase::GeneralFont));

    const QString text =
        block["text"].isString() ? jsontext::text(block["text"].stringValue()) : QString();
    if (!m_text->hasFocus() && m_text->toPlainText() != text)
        m_text->setPlainText(text);
    fitHeight();

    m_refreshing = false;
}

void BlockEditor::relabel()
{
    style::setToolTipName(m_type, m_model.text("Tipo de bloque", "Block type"));
    m_check->setAccessibleName(m_model.text("Hecho", "Done"));
    m_text->setAccessibleName(m_model.text("Texto del bloque", "Block text"));
}

} // namespace quorvale
