#pragma once

// One page of the workspace: header (icon, star, Edit/Read), title, import notice, the place
// of a meeting's recording panel, the content (a board, or its blocks), its subpages and
// "New subpage". Rows are reconciled with the page in the model by block id, so the editor
// being typed in is never rebuilt under the cursor. Long pages build their rows in slices
// after the first screen, so opening one stays quick.

#include "json/json.h"

#include <QScrollArea>
#include <QUrl>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace quorvale {

class BoardView;
class MeetingAudio;
class WorkspaceModel;

class PageView final : public QScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageView)

public:
    // audio: where a meeting page's recording panel gets its recorder and uploads; without it
    // the panel's place stays empty.
    PageView(WorkspaceModel &model, QString pageId, QWidget *parent = nullptr,
             MeetingAudio *audio = nullptr);

    enum class Outcome { Handled, Discarded, System };
    // What a click on a link inside the page does: the application acts on it (a page is
    // selected, a file is saved), nothing happens, or the system opens it.
    Outcome open(const QUrl &url);
    // Where System outcomes go; the platform's default application unless replaced.
    void setExternalOpener(std::function<void(const QUrl &)> opener)
    {
        m_openExternally = std::move(opener);
    }

    bool editing() const { return m_editing; }
    void setEditing(bool editing);
    // The page's "meeting" is true, or the server lists it among the meetings.
    bool isMeeting() const;
    const QString &pageId() const { return m_pageId; }

    // Where a meeting page's recording panel goes; shown only for meetings.
    QWidget *recordingSlot() const { return m_recordingSlot; }
    // The rows built so far, in page order: BlockView or BlockEditor widgets.
    QList<QWidget *> rows() const;
    // True once every block of the page has its row.
    bool complete() const;
    BoardView *board() const { return m_board; }

signals:
    // Every block of the page has its row; emitted after the last slice is built.
    void completed();

private:
    struct Row
    {
        QWidget *widget = nullptr;
        std::string id; // the block's, which rows are reconciled by
        // How many blocks before it share its id; twins keep their order, so it never changes.
        int occurrence = 0;
        bool editor = false;
    };
    class RowTarget;

    QLayout *buildHeader(QWidget *column);
    QWidget *buildTitle(QWidget *column);
    QWidget *buildImportNotice(QWidget *column);
    QWidget *buildRecordingSlot(QWidget *column);
    QWidget *buildContent(QWidget *column);
    void buildChildren(QWidget *column, QVBoxLayout &stack);
    void followModel();

    void refresh();
    void redraw();
    void changeRows(const std::function<void()> &change);
    void refreshHeader(const JSON &page);
    void refreshContent(const JSON &page);
    void refreshBlocks(const JSON &page);
    void refreshChildren();
    void buildMore();
    void relabel();
    void activate(const QUrl &url);
    // Enter on a block edits it, Escape in its editor reads it: the keyboard stays on the block.
    void switchMode(std::string blockId, bool editing);
    void focusWanted();
    bool wantsEditor(const JSON &block, int occurrence) const;
    QWidget *makeRow(const JSON &block, const JSON &page, bool editor);
    static void drawRow(const Row &row, const JSON &block, const JSON &page);

    WorkspaceModel &m_model;
    MeetingAudio *m_audio;
    QString m_pageId;
    std::string m_id;
    bool m_editing = false;
    JSON m_pageShown;
    std::function<void(const QUrl &)> m_openExternally;

    QLabel *m_icon = nullptr;
    QToolButton *m_star = nullptr;
    QPushButton *m_edit = nullptr;
    QStackedWidget *m_titleStack = nullptr;
    QLabel *m_title = nullptr;
    QLineEdit *m_titleEdit = nullptr;
    QWidget *m_import = nullptr;
    QLabel *m_importText = nullptr;
    QWidget *m_recordingSlot = nullptr;
    QVBoxLayout *m_contentBox = nullptr;
    BoardView *m_board = nullptr;
    QWidget *m_blocks = nullptr;
    QVBoxLayout *m_blockList = nullptr;
    QToolButton *m_addBlock = nullptr;
    QWidget *m_children = nullptr;
    QVBoxLayout *m_childList = nullptr;
    std::vector<std::pair<std::string, QString>> m_childrenShown;
    QPushButton *m_newSubpage = nullptr;

    // The rows in page order, as m_blockList holds them.
    std::vector<Row> m_rows;
    // Blocks of the page that have a row: the first m_built, in order; the first m_ready of
    // them are in the page's current mode.
    std::size_t m_built = 0;
    std::size_t m_ready = 0;
    std::size_t m_sliceRows = 16;
    bool m_rowsMoved = false;
    std::string m_focusBlock; // to focus once its row is in the page's mode
    QTimer *m_slices = nullptr;
};

} // namespace quorvale
