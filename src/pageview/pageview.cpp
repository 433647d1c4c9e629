#include "pageview/pageview.h"

#include "files/jsontext.h"

#include "model/document.h"
#include "model/workspacemodel.h"
#include "pageview/blockeditor.h"
#include "pageview/blockview.h"
#include "pageview/boardview.h"
#include "pageview/links.h"
#include "pageview/reconcile.h"
#include "recordingpanel/recordingpanel.h"
#include "style/icons.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvale {

namespace {

// Block types shown read-only even while the page is edited.
constexpr std::array<std::string_view, 3> readOnlyKinds = {"attachment", "pageLink", "table"};

// Rows built at once when a page opens (a screenful of short rows), then in slices of about
// sliceTime each, so that typing and scrolling stay responsive while a long page fills in.
constexpr std::size_t firstRows = 32;
constexpr std::chrono::milliseconds sliceTime{25};

std::string_view typeOf(const JSON &block)
{
    const JSON &type = block["type"];
    return type.isString() ? type.stringValue() : std::string_view();
}

// A block that has a row.
struct BlockRow
{
    std::string_view id;
};

std::vector<BlockRow> blockRows(const JSON::Array &blocks, std::size_t count)
{
    std::vector<BlockRow> rows;
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        rows.push_back({blocks[i].id()});
    return rows;
}

// One column, at most 1000 wide, centred in whatever width canvas gets.
QWidget *centredColumn(QWidget *canvas)
{
    auto *centre = new QHBoxLayout(canvas);
    centre->setContentsMargins(0, 0, 0, 0);
    auto *column = new QWidget(canvas);
    column->setMaximumWidth(1000);
    column->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    centre->addStretch(0);
    centre->addWidget(column, 1);
    centre->addStretch(0);
    return column;
}

QFont pointFont(const QFont &base, qreal points, bool bold)
{
    QFont font = base;
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

} // namespace

PageView::PageView(WorkspaceModel &model, QString pageId, QWidget *parent, MeetingAudio *audio)
    : QScrollArea(parent)
    , m_model(model)
    , m_audio(audio)
    , m_pageId(std::move(pageId))
    , m_id(m_pageId.toStdString())
    , m_openExternally([](const QUrl &url) { QDesktopServices::openUrl(url); })
{
    setObjectName(QStringLiteral("pageView"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *canvas = new QWidget(this);
    canvas->setObjectName(QStringLiteral("pageCanvas"));
    QWidget *column = centredColumn(canvas);
    auto *stack = new QVBoxLayout(column);
    stack->setContentsMargins(42, 42, 42, 42);
    stack->setSpacing(20);
    // Built top to bottom, which is also the order focus moves in.
    stack->addLayout(buildHeader(column));
    stack->addWidget(buildTitle(column));
    stack->addWidget(buildImportNotice(column));
    stack->addWidget(buildRecordingSlot(column));
    stack->addWidget(buildContent(column));
    buildChildren(column, *stack);
    // A short page sits at the top; the room below it stays empty.
    stack->addStretch(1);
    setWidget(canvas);

    m_slices = new QTimer(this);
    m_slices->setInterval(0);
    connect(m_slices, &QTimer::timeout, this, &PageView::buildMore);
    followModel();
    relabel();
    refresh();
}

QLayout *PageView::buildHeader(QWidget *column)
{
    // Icon, space, star, Edit/Read.
    auto *header = new QHBoxLayout;
    m_icon = new QLabel(column);
    m_icon->setObjectName(QStringLiteral("pageIcon"));
    m_icon->setTextFormat(Qt::PlainText);
    m_icon->setFont(navstyle::withEmoji(pointFont(font(), 45, false)));
    header->addWidget(m_icon);
    header->addStretch(1);
    m_star = new QToolButton(column);
    m_star->setObjectName(QStringLiteral("pageStar"));
    m_star->setAutoRaise(true);
    m_star->setIconSize(QSize(22, 22));
    connect(m_star, &QToolButton::clicked, this, [this] {
        m_model.updatePage(m_id, [](JSON &page) {
            const JSON &favorite = page["favorite"];
            page.set("favorite", JSON(!(favorite.isBool() && favorite.boolValue())));
        });
    });
    header->addWidget(m_star);
    m_edit = new QPushButton(column);
    m_edit->setObjectName(QStringLiteral("pageEdit"));
    connect(m_edit, &QPushButton::clicked, this, [this] { setEditing(!m_editing); });
    header->addWidget(m_edit);
    return header;
}

QWidget *PageView::buildTitle(QWidget *column)
{
    // Selectable text to read, a borderless field to edit. Both share one place: switching
    // between them then changes nothing around it, and a long page is not laid out again.
    m_titleStack = new QStackedWidget(column);
    m_title = new QLabel(m_titleStack);
    m_title->setObjectName(QStringLiteral("pageTitleLabel"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setWordWrap(true);
    m_title->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_title->setFont(pointFont(font(), 34, true));
    m_titleStack->addWidget(m_title);
    m_titleEdit = new QLineEdit(m_titleStack);
    m_titleEdit->setObjectName(QStringLiteral("pageTitle"));
    m_titleEdit->setFrame(false);
    QPalette clear = m_titleEdit->palette();
    clear.setColor(QPalette::Base, Qt::transparent);
    m_titleEdit->setPalette(clear);
    m_titleEdit->setFont(pointFont(font(), 26, true));
    connect(m_titleEdit, &QLineEdit::textEdited, this, [this](const QString &title) {
        const QByteArray utf8 = title.toUtf8();
        const std::string text(utf8.constData(), static_cast<std::size_t>(utf8.size()));
        m_model.updatePage(m_id, [&text](JSON &page) { page.set("title", JSON(text)); });
    });
    m_titleStack->addWidget(m_titleEdit);
    return m_titleStack;
}

QWidget *PageView::buildImportNotice(QWidget *column)
{
    // Shown on pages that came from a Notion export.
    m_import = new QWidget(column);
    m_import->setObjectName(QStringLiteral("pageImport"));
    auto *importRow = new QHBoxLayout(m_import);
    importRow->setContentsMargins(0, 0, 0, 0);
    importRow->setSpacing(6);
    auto *tray = new QLabel(m_import);
    m_importText = new QLabel(m_import);
    style::setFont(m_importText, style::Text::Caption);
    style::setSecondary(m_importText);
    const int traySide = m_importText->fontMetrics().height();
    tray->setPixmap(
        navstyle::tintedIcon(QStringLiteral("tray-arrow-down"), navstyle::Tone::Secondary)
            .pixmap(traySide, traySide));
    importRow->addWidget(tray);
    importRow->addWidget(m_importText);
    importRow->addStretch(1);
    return m_import;
}

QWidget *PageView::buildRecordingSlot(QWidget *column)
{
    // The recording panel of meeting pages goes here.
    m_recordingSlot = new QWidget(column);
    m_recordingSlot->setObjectName(QStringLiteral("recordingSlot"));
    auto *slotBox = new QVBoxLayout(m_recordingSlot);
    slotBox->setContentsMargins(0, 0, 0, 0);
    return m_recordingSlot;
}

QWidget *PageView::buildContent(QWidget *column)
{
    // The board or the blocks, which refreshContent puts in.
    auto *content = new QWidget(column);
    m_contentBox = style::bareColumn(content, 12);
    return content;
}

void PageView::buildChildren(QWidget *column, QVBoxLayout &stack)
{
    // Subpages, then the button that adds one.
    m_children = new QWidget(column);
    m_children->setObjectName(QStringLiteral("pageChildren"));
    m_childList = style::bareColumn(m_children, 2);
    stack.addWidget(m_children);
    m_newSubpage = new QPushButton(column);
    m_newSubpage->setObjectName(QStringLiteral("newSubpage"));
    m_newSubpage->setFlat(true);
    m_newSubpage->setIcon(icon(QStringLiteral("plus")));
    connect(m_newSubpage, &QPushButton::clicked, this,
            [this] { m_model.newPage(QStringLiteral("document"), false, m_pageId); });
    stack.addWidget(m_newSubpage, 0, Qt::AlignLeft);
}

void PageView::followModel()
{
    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &PageView::refresh);
    connect(&m_model, &WorkspaceModel::meetingsChanged, this, &PageView::refresh);
    connect(&m_model, &WorkspaceModel::resourcesChanged, this, [this] {
        // List numbers and file links come from the resources; the page itself is unchanged.
        m_pageShown = JSON();
        refresh();
    });
    connect(&m_model, &WorkspaceModel::languageChanged, this, &PageView::relabel);
}

bool PageView::isMeeting() const
{
    const JSON &page = document::findPage(m_model.workspace(), m_id);
    const JSON &meeting = page["meeting"];
    if (meeting.isBool() && meeting.boolValue())
        return true;
    const std::string_view id = page["id"].isString() ? page["id"].stringValue() : m_id;
    return std::any_of(
        m_model.meetings().begin(), m_model.meetings().end(), [id](const JSON &entry) {
            const JSON &other = entry["id"];
            return (other.isString() ? other.stringValue() : std::string_view()) == id;
        });
}

PageView::Outcome PageView::open(const QUrl &url)
{
    const links::LinkAction action =
        links::open(url, m_model.workspace(), m_model.service().origin());
    switch (action.kind) {
    case links::LinkAction::Kind::SelectPage:
        m_model.select(action.pageId);
        return Outcome::Handled;
    case links::LinkAction::Kind::SaveFile:
        m_model.saveFile(action.path, action.fileName);
        return Outcome::Handled;
    case links::LinkAction::Kind::OpenExternally:
        return Outcome::System;
    case links::LinkAction::Kind::Discard:
        break;
    }
    return Outcome::Discarded;
}

void PageView::activate(const QUrl &url)
{
    if (open(url) == Outcome::System && m_openExternally)
        m_openExternally(url);
}

void PageView::setEditing(bool editing)
{
    if (m_editing == editing)
        return;
    m_editing = editing;
    m_pageShown = JSON();
    m_ready = 0; // the first screenful switches now, the rest slice by slice
    relabel();
    refresh();
}

QList<QWidget *> PageView::rows() const
{
    QList<QWidget *> found;
    if (!m_blockList)
        return found;
    for (int i = 0; i < m_blockList->count(); ++i) {
        if (QWidget *widget = m_blockList->itemAt(i)->widget())
            found.append(widget);
    }
    return found;
}

bool PageView::complete() const
{
    const JSON &page = document::findPage(m_model.workspace(), m_id);
    return m_board || m_ready >= page["blocks"].arrayValue().size();
}

void PageView::refresh()
{
    changeRows([this] { redraw(); });
}

void PageView::changeRows(const std::function<void()> &change)
{
    // Showing or hiding anything in the page (a title field, a row) lays the page out at once,
    // and with it every row of a long page. The rows' layout waits until the change is made,
    // then runs once, and only if rows came, went or moved.
    const QPointer<QLayout> rows = m_blockList;
    if (rows)
        rows->setEnabled(false);
    m_rowsMoved = false;
    change();
    if (rows) {
        rows->setEnabled(true);
        if (m_rowsMoved)
            rows->invalidate();
    }
    focusWanted();
}

void PageView::switchMode(std::string blockId, bool editing)
{
    m_focusBlock = std::move(blockId);
    setEditing(editing);
    focusWanted();
}

void PageView::focusWanted()
{
    if (m_focusBlock.empty())
        return;
    // Only once the block's row is in the page's mode: later slices may bring it.
    for (std::size_t i = 0; i < m_rows.size() && i < m_ready; ++i) {
        if (m_rows[i].id == m_focusBlock && m_rows[i].occurrence == 0) {
            QWidget *target = m_rows[i].widget;
            if (m_rows[i].editor)
                target = static_cast<BlockEditor *>(target)->textEdit();
            target->setFocus(Qt::OtherFocusReason);
            ensureWidgetVisible(m_rows[i].widget);
            m_focusBlock.clear();
            return;
        }
    }
}

void PageView::redraw()
{
    const JSON &page = document::findPage(m_model.workspace(), m_id);
    if (!page.isObject())
        return; // gone from the document; the window replaces this view
    // The recording panel also depends on the meetings list, which the page does not hold.
    const bool meeting = isMeeting();
    // Made the first time the page is a meeting; it lists files on disk and follows the recorder.
    if (meeting && m_audio && !m_recordingSlot->findChild<RecordingPanel *>())
        m_recordingSlot->layout()->addWidget(
            new RecordingPanel(*m_audio, m_pageId, m_recordingSlot));
    m_recordingSlot->setVisible(meeting);
    refreshChildren();
    if (page.isIdenticalTo(m_pageShown))
        return;
    m_pageShown = page;
    refreshHeader(page);
    refreshContent(page);
}

void PageView::refreshHeader(const JSON &page)
{
    m_icon->setText(jsontext::member(page, "icon"));
    const bool favorite = page["favorite"].isBool() && page["favorite"].boolValue();
    // Setting an icon lays the header out again; only a change of the star does it.
    if (!m_star->property("favorite").isValid() ||
        m_star->property("favorite").toBool() != favorite) {
        m_star->setIcon(favorite ? icon(QStringLiteral("star-fill"))
                                 : icon(QStringLiteral("star")));
        m_star->setProperty("favorite", favorite);
    }

    const QString title = jsontext::member(page, "title");
    m_title->setText(title);
    m_titleStack->setCurrentWidget(m_editing ? static_cast<QWidget *>(m_titleEdit) : m_title);
    // The field being typed in already shows what was typed.
    if (!m_titleEdit->hasFocus() && m_titleEdit->text() != title)
        m_titleEdit->setText(title);

    const JSON &batch = page["importBatchId"];
    m_import->setVisible(batch.isString() && !batch.stringValue().empty());
}

void PageView::refreshContent(const JSON &page)
{
    const JSON &kind = page["kind"];
    const bool board = kind.isString() && kind.stringValue() == "board";
    if (board != (m_board != nullptr) || (!board && !m_blocks)) {
        // The page became a board or stopped being one: its content starts over.
        style::clearLayout(*m_contentBox);
        m_board = nullptr;
        m_blocks = nullptr;
        m_blockList = nullptr;
        m_addBlock = nullptr;
        m_rows.clear();
        m_built = 0;
        m_ready = 0;
        if (board) {
            m_board = new BoardView(m_model, m_id, this);
            m_contentBox->addWidget(m_board);
        } else {
            m_blocks = new QWidget(this);
            m_blocks->setObjectName(QStringLiteral("pageBlocks"));
            m_blockList = style::bareColumn(m_blocks, 12);
            m_contentBox->addWidget(m_blocks);
            m_addBlock = new QToolButton(this);
            m_addBlock->setObjectName(QStringLiteral("addBlock"));
            m_addBlock->setIcon(icon(QStringLiteral("plus")));
            m_addBlock->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
            m_addBlock->setPopupMode(QToolButton::InstantPopup);
            auto *menu = new QMenu(m_addBlock);
            // The kinds are listed by their own names in both languages.
            for (std::string_view addable : document::editableBlockTypes) {
                const std::string stored(addable);
                menu->addAction(jsontext::text(addable), this,
                                [this, stored] { m_model.addBlock(stored); });
            }
            m_addBlock->setMenu(menu);
            m_contentBox->addWidget(m_addBlock, 0, Qt::AlignLeft);
            relabel();
        }
    }
    if (m_board) {
        m_board->setEditing(m_editing);
        return;
    }
    m_addBlock->setVisible(m_editing);
    refreshBlocks(page);
}

bool PageView::wantsEditor(const JSON &block, int occurrence) const
{
    if (!m_editing)
        return false;
    // Edits address a block by id; of blocks sharing one only the first can be edited.
    if (occurrence > 0)
        return false;
    const std::string_view type = typeOf(block);
    return std::find(readOnlyKinds.begin(), readOnlyKinds.end(), type) == readOnlyKinds.end();
}

QWidget *PageView::makeRow(const JSON &block, const JSON &page, bool editor)
{
    std::string id(block.id());
    if (editor) {
        auto *row = new BlockEditor(m_model, m_id, id, m_blocks);
        row->followOwner();
        connect(row, &BlockEditor::leaveRequested, this, [this, id] { switchMode(id, false); });
        return row;
    }
    auto *row = new BlockView(m_model, block, page, m_blocks);
    connect(row, &BlockView::linkActivated, this, &PageView::activate);
    connect(row, &BlockView::editRequested, this, [this, id] { switchMode(id, true); });
    return row;
}

void PageView::drawRow(const Row &row, const JSON &block, const JSON &page)
{
    if (row.editor)
        static_cast<BlockEditor *>(row.widget)->draw(block);
    else
        static_cast<BlockView *>(row.widget)->setBlock(block, page);
}

// The block rows as the reconciler sees them: m_rows and the layout change together.
class PageView::RowTarget
{
public:
    RowTarget(PageView &view, const JSON::Array &blocks, const JSON &page)
        : m_view(view)
        , m_rows(view.m_rows)
        , m_blocks(blocks)
        , m_page(page)
    {}

    int count() const { return static_cast<int>(m_rows.size()); }
    std::string_view key(int i) const { return row(i).id; }

    void remove(int first, int last)
    {
        for (int i = first; i <= last; ++i)
            drop(row(i).widget);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        m_view.m_rowsMoved = true;
    }

    void insert(int at, const BlockRow *rows, int n)
    {
        for (int i = at; i < at + n; ++i) {
            const JSON &block = blockAt(i);
            const int occurrence = sharingBefore(i);
            const bool editor = m_view.wantsEditor(block, occurrence);
            m_rows.insert(m_rows.begin() + i,
                          Row{m_view.makeRow(block, m_page, editor), std::string(rows[i - at].id),
                              occurrence, editor});
            place(i);
        }
    }

    void move(int from, int to)
    {
        std::rotate(m_rows.begin() + to, m_rows.begin() + from, m_rows.begin() + from + 1);
        m_view.m_blockList->removeWidget(row(to).widget);
        m_view.m_blockList->insertWidget(to, row(to).widget);
        m_view.m_rowsMoved = true;
        orderTabs(to);
    }

    void update(int at, const BlockRow &)
    {
        Row &row = this->row(at);
        const JSON &block = blockAt(at);
        // Rows past the ready ones keep the mode they were built in until their slice comes.
        const bool editor = static_cast<std::size_t>(at) < m_view.m_ready
                                ? m_view.wantsEditor(block, row.occurrence)
                                : row.editor;
        if (editor == row.editor) {
            drawRow(row, block, m_page);
            return;
        }
        drop(row.widget);
        row.widget = m_view.makeRow(block, m_page, editor);
        row.editor = editor;
        place(at);
    }

private:
    Row &row(int i) const { return m_rows[static_cast<std::size_t>(i)]; }
    const JSON &blockAt(int i) const { return m_blocks[static_cast<std::size_t>(i)]; }

    // How many blocks before the one at share its id. The reconciler walks forward and the rows
    // before at are the blocks before it, so each refresh counts every block once, and only
    // when a row is added: typing into a long page counts nothing.
    int sharingBefore(int at)
    {
        for (; m_counted < at; ++m_counted)
            ++m_seen[blockAt(m_counted).id()];
        return m_seen[blockAt(at).id()];
    }

    void drop(QWidget *widget)
    {
        m_view.m_blockList->removeWidget(widget);
        widget->hide();
        widget->deleteLater();
    }

    void place(int at)
    {
        QWidget *widget = row(at).widget;
        m_view.m_blockList->insertWidget(at, widget);
        widget->show();
        m_view.m_rowsMoved = true;
        orderTabs(at);
    }

    // Tab follows the page's order, not the order rows happened to be made in.
    void orderTabs(int at)
    {
        if (at > 0)
            QWidget::setTabOrder(row(at - 1).widget, row(at).widget);
        if (at + 1 < count())
            QWidget::setTabOrder(row(at).widget, row(at + 1).widget);
    }

    PageView &m_view;
    std::vector<Row> &m_rows;
    const JSON::Array &m_blocks;
    const JSON &m_page;
    std::unordered_map<std::string_view, int> m_seen;
    int m_counted = 0;
};

void PageView::refreshBlocks(const JSON &page)
{
    const JSON::Array &blocks = page["blocks"].arrayValue();
    // The first screenful at once, the rest in slices from the event loop. Rows past
    // m_ready keep the mode they were built in until their slice comes.
    m_ready = std::min(blocks.size(), std::max(m_ready, firstRows));
    m_built = std::min(blocks.size(), std::max(m_built, m_ready));

    RowTarget target(*this, blocks, page);
    reconcileRows(target, blockRows(blocks, m_built));

    if (m_ready < blocks.size())
        m_slices->start();
    else
        m_slices->stop();
}

void PageView::buildMore()
{
    const JSON &page = document::findPage(m_model.workspace(), m_id);
    const std::size_t total = page["blocks"].arrayValue().size();
    if (m_board || !page.isObject() || m_ready >= total) {
        m_slices->stop();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    m_ready = std::min(total, m_ready + m_sliceRows);
    changeRows([this, &page] { refreshBlocks(page); });
    // Rows differ a lot in cost (a paragraph with emoji against a divider): the next slice
    // takes as many as fit in its time at this slice's pace.
    const qint64 spent = std::max<qint64>(1, timer.elapsed());
    m_sliceRows = std::clamp<std::size_t>(
        m_sliceRows * static_cast<std::size_t>(sliceTime.count()) / static_cast<std::size_t>(spent),
        32, 256);
    if (m_ready >= total)
        emit completed();
}

void PageView::refreshChildren()
{
    std::vector<std::pair<std::string, QString>> children;
    for (const JSON &child : m_model.visiblePages()) {
        const JSON &parent = child["parentId"];
        if ((parent.isString() ? parent.stringValue() : std::string_view()) == m_id)
            children.emplace_back(std::string(child.id()), jsontext::member(child, "title"));
    }
    if (children == m_childrenShown)
        return;
    m_childrenShown = std::move(children);
    style::clearLayout(*m_childList);
    if (!m_childrenShown.empty()) {
        auto *rule = new QFrame(m_children);
        rule->setFrameShape(QFrame::HLine);
        rule->setFrameShadow(QFrame::Plain);
        rule->setStyleSheet(QStringLiteral("color: rgba(128, 128, 128, 35%);"));
        m_childList->addWidget(rule);
    }
    const QIcon documentIcon =
        navstyle::tintedIcon(QStringLiteral("document"), navstyle::Tone::Secondary);
    for (const auto &[id, title] : m_childrenShown) {
        auto *button = new QPushButton(documentIcon, title, m_children);
        button->setObjectName(QStringLiteral("subpage"));
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 4px 0; }"));
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        const QString target = jsontext::text(id);
        connect(button, &QPushButton::clicked, this, [this, target] { m_model.select(target); });
        m_childList->addWidget(button);
    }
    m_children->setVisible(!m_childrenShown.empty());
}

void PageView::relabel()
{
    m_edit->setText(m_editing ? m_model.text("Leer", "Read") : m_model.text("Editar", "Edit"));
    style::setToolTipName(m_star, m_model.text("Favorito", "Favourite"));
    m_titleEdit->setPlaceholderText(m_model.text("Título", "Title"));
    m_titleEdit->setAccessibleName(m_titleEdit->placeholderText());
    m_importText->setText(m_model.text("Importada de Notion · contenido original conservado",
                                       "Imported from Notion · original content preserved"));
    m_newSubpage->setText(m_model.text("Nueva subpágina", "New subpage"));
    if (m_addBlock)
        m_addBlock->setText(m_model.text("Añadir bloque", "Add block"));
}

} // namespace quorvale
