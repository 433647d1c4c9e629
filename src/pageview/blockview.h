#pragma once

// One block shown read-only: headings, list rows with their import numbering, quotes,
// callouts, code, dividers, page links, tables and attachments. Links in its text are
// rewritten to this workspace's pages and files and reported through linkActivated.

#include "json/json.h"

#include <QPalette>
#include <QUrl>
#include <QWidget>

#include <vector>

class QLabel;
class QVBoxLayout;

namespace quorvale {

class AttachmentView;
class RichTextLabel;
class WorkspaceModel;

namespace links {
struct Run;
}

class BlockView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BlockView)

public:
    BlockView(WorkspaceModel &model, JSON block, JSON page, QWidget *parent = nullptr);

    // Redraws when the block, or what its links resolve against, changed.
    void setBlock(JSON block, JSON page);

    const JSON &block() const { return m_block; }
    // The marker of a list row ("•", "3.", or the to-do symbol's name); empty otherwise.
    const QString &marker() const { return m_marker; }
    // The rich text label of text-bearing types, null for the others.
    QLabel *textLabel() const { return m_text; }
    // Leading padding of list rows, in pixels.
    int indent() const { return m_indent; }

    // The styled runs as the label's markup: text escaped, spaces and line breaks kept.
    static QString html(const std::vector<links::Run> &runs);

signals:
    void linkActivated(const QUrl &url);
    // Enter on the focused block.
    void editRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    using Builder = void (BlockView::*)();
    // The builder of a block type's content; plain text for types it does not know.
    static Builder builderFor(const QString &type);
    void build();
    QVBoxLayout *contentBox();
    void buildDivider();
    void buildHeading();
    void buildListRow();
    void buildQuote();
    void buildCallout();
    void buildCode();
    void buildPageLink();
    void buildAttachment();
    void buildTable();
    void buildText();
    QLabel *richText(QWidget *parent);
    // The block's text as the label's markup, with its links rewritten.
    QString markup();
    // What the list row of the block shows before its text, and its leading padding.
    QString listMarker() const;
    int listIndent() const;

    WorkspaceModel &m_model;
    JSON m_block;
    JSON m_page;
    JSON m_resourcesShown;
    bool m_hasLinks = false;
    QString m_marker;
    QLabel *m_text = nullptr;
    AttachmentView *m_attachment = nullptr;
    QWidget *m_content = nullptr;
    int m_indent = 0;
};

// The faint fill behind code and edited text, as a style sheet colour, in either scheme.
QString quaternaryFill(float opacity);

} // namespace quorvale
