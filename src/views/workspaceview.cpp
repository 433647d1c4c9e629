#include "workspaceview.h"

#include "adminview.h"
#include "meetingsview.h"
#include "model/workspacemodel.h"
#include "pagesearchview.h"
#include "pagetree.h"
#include "pageview/pageview.h"
#include "sidebar.h"
#include "style/icons.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorvale {

namespace {

const QString meetingsTag = QStringLiteral("@meetings");
const QString pagesTag = QStringLiteral("@pages");
const QString adminTag = QStringLiteral("@admin");

// What the detail column shows: one of the named views, a page by its id, or nothing.
QString detailKey(const WorkspaceModel &m)
{
    const QString &selection = m.selection();
    if (selection == meetingsTag || selection == pagesTag || selection == adminTag)
        return selection;
    // A trashed page that is selected still shows; an id that names no page does not.
    return m.selectedPage().isNull() ? QString() : QStringLiteral("page:") + selection;
}

// A symbol above a line of text, centred: "Select a page".
class Placeholder final : public QWidget
{
public:
    Placeholder(WorkspaceModel &m, const char *symbol, const char *spanish, const char *english,
                QWidget *parent)
        : QWidget(parent)
    {
        auto *image = new QLabel(this);
        image->setAlignment(Qt::AlignCenter);
        if (symbol)
            image->setPixmap(
                navstyle::tintedIcon(QString::fromLatin1(symbol), navstyle::Tone::Secondary)
                    .pixmap(44, 44));
        auto *title = new QLabel(this);
        title->setObjectName(QStringLiteral("placeholderTitle"));
        title->setAlignment(Qt::AlignCenter);
        style::setFont(title, style::Text::Title2);
        style::setSecondary(title);
        auto *column = new QVBoxLayout(this);
        column->addStretch();
        column->addWidget(image);
        column->addWidget(title);
        column->addStretch();
        const auto retranslate = [title, &m, spanish, english] {
            title->setText(m.text(spanish, english));
        };
        retranslate();
        connect(&m, &WorkspaceModel::languageChanged, this, retranslate);
    }
};

} // namespace

WorkspaceView::WorkspaceView(WorkspaceModel &model, QWidget *parent, MeetingAudio *audio)
    : QWidget(parent)
    , m_model(model)
    , m_audio(audio)
{
    setObjectName(QStringLiteral("workspace"));

    QWidget *sidebar = buildSidebar();
    QWidget *toolbar = buildToolbar();
    auto *rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);

    auto *detailColumn = new QWidget(this);
    detailColumn->setObjectName(QStringLiteral("detailColumn"));
    m_detailColumn = new QVBoxLayout(detailColumn);
    m_detailColumn->setContentsMargins(0, 0, 0, 0);
    m_detailColumn->setSpacing(0);
    m_detailColumn->addWidget(toolbar);
    m_detailColumn->addWidget(rule);

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("workspaceSplitter"));
    m_splitter->setChildrenCollapsible(false);
    m_splitter->addWidget(sidebar);
    m_splitter->addWidget(detailColumn);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({260, 1020});
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_splitter);

    connectControls();
    retranslate();
    showDetail();
}

QWidget *WorkspaceView::buildSidebar()
{
    auto *sidebar = new Sidebar(m_model, this);
    sidebar->setMinimumWidth(230);
    sidebar->setMaximumWidth(360);
    connect(sidebar, &Sidebar::signOutRequested, this, &WorkspaceView::signOutRequested);
    connect(sidebar, &Sidebar::settingsRequested, this, &WorkspaceView::settingsRequested);
    connect(sidebar, &Sidebar::importRequested, &m_model, &WorkspaceModel::importZIP);
    // Enter on a page's row takes the keyboard into the page the arrows already opened.
    connect(sidebar->pageTree(), &QTreeView::activated, this, [this] {
        if (m_detail)
            m_detail->setFocus(Qt::TabFocusReason);
    });
    return sidebar;
}

QWidget *WorkspaceView::buildToolbar()
{
    // The toolbar of the detail column: save state and actions, trailing.
    auto *toolbar = new QWidget(this);
    toolbar->setObjectName(QStringLiteral("detailToolbar"));
    m_status = new QWidget(toolbar);
    m_status->setObjectName(QStringLiteral("saveStatus"));
    auto *dot = new QLabel(m_status);
    dot->setPixmap(icon(QStringLiteral("status-dot")).pixmap(10, 10));
    m_statusText = new QLabel(m_status);
    m_statusText->setObjectName(QStringLiteral("saveStatusText"));
    style::setFont(m_statusText, style::Text::Caption);
    style::setTextColor(m_statusText, style::orange());
    auto *statusRow = new QHBoxLayout(m_status);
    statusRow->setContentsMargins(0, 0, 6, 0);
    statusRow->setSpacing(4);
    statusRow->addWidget(dot);
    statusRow->addWidget(m_statusText);
    m_save = new QPushButton(toolbar);
    m_save->setObjectName(QStringLiteral("saveButton"));
    m_exportAndReload = new QPushButton(toolbar);
    m_exportAndReload->setObjectName(QStringLiteral("exportAndReloadButton"));
    m_refresh = new QToolButton(toolbar);
    m_refresh->setObjectName(QStringLiteral("refreshButton"));
    m_refresh->setIcon(
        navstyle::tintedIcon(QStringLiteral("arrow-clockwise"), navstyle::Tone::Primary));
    m_refresh->setAutoRaise(true);
    auto *tools = new QHBoxLayout(toolbar);
    tools->setContentsMargins(12, 6, 10, 6);
    tools->setSpacing(8);
    tools->addStretch();
    tools->addWidget(m_status);
    tools->addWidget(m_save);
    tools->addWidget(m_exportAndReload);
    tools->addWidget(m_refresh);
    return toolbar;
}

void WorkspaceView::connectControls()
{
    WorkspaceModel *m = &m_model;
    // Through run: the busy flag shows, and a failure (a conflict) becomes the alert.
    connect(m_save, &QPushButton::clicked, this,
            [m] { m->run([m]() -> QCoro::Task<> { co_await m->save(); }); });
    connect(m_exportAndReload, &QPushButton::clicked, this, [m] { m->exportAndReload(); });
    connect(m_refresh, &QToolButton::clicked, this,
            [m] { m->run([m]() -> QCoro::Task<> { co_await m->load(); }); });

    connect(m, &WorkspaceModel::languageChanged, this, &WorkspaceView::retranslate);
    connect(m, &WorkspaceModel::dirtyChanged, this, &WorkspaceView::refreshToolbar);
    connect(m, &WorkspaceModel::conflictChanged, this, &WorkspaceView::refreshToolbar);
    connect(m, &WorkspaceModel::busyChanged, this, &WorkspaceView::refreshToolbar);
    connect(m, &WorkspaceModel::selectionChanged, this, &WorkspaceView::showDetail);
    connect(m, &WorkspaceModel::workspaceChanged, this, &WorkspaceView::showDetail);
}

void WorkspaceView::retranslate()
{
    m_save->setText(m_model.text("Guardar", "Save"));
    m_exportAndReload->setText(m_model.text("Exportar y recargar…", "Export and reload…"));
    style::setToolTipName(m_refresh, m_model.text("Actualizar", "Refresh"));
    refreshToolbar();
}

void WorkspaceView::refreshToolbar()
{
    const bool dirty = m_model.dirty();
    const bool busy = m_model.busy();
    m_statusText->setText(
        m_model.conflict()
            ? m_model.text("Conflicto: conserva tu copia", "Conflict: keep your copy")
            : m_model.text("Cambios sin guardar", "Unsaved changes"));
    m_status->setVisible(dirty);
    m_save->setVisible(dirty);
    m_exportAndReload->setVisible(dirty);
    m_save->setEnabled(!busy);
    m_exportAndReload->setEnabled(!busy);
    // A reload would throw the unsaved edits away.
    m_refresh->setEnabled(!dirty && !busy);
}

void WorkspaceView::showDetail()
{
    const QString key = detailKey(m_model);
    if (m_detail && key == m_detailKey)
        return;
    m_detailKey = key;
    QWidget *next = nullptr;
    if (key == meetingsTag) {
        next = new MeetingsView(m_model, this);
        next->setObjectName(QStringLiteral("meetingsView"));
    } else if (key == pagesTag) {
        next = new PageSearchView(m_model, this); // a fresh one: its search starts empty
        next->setObjectName(QStringLiteral("pageSearchView"));
    } else if (key == adminTag) {
        next = new AdminView(m_model, this);
        next->setObjectName(QStringLiteral("adminView"));
    } else if (key.isEmpty()) {
        next = new Placeholder(m_model, "document", "Selecciona una página", "Select a page", this);
        next->setObjectName(QStringLiteral("noPage"));
    } else {
        next = new PageView(m_model, m_model.selection(), this, m_audio);
    }
    if (m_detail) {
        m_detailColumn->removeWidget(m_detail);
        m_detail->deleteLater();
        m_detail->hide();
    }
    m_detail = next;
    m_detailColumn->addWidget(m_detail, 1);
}

} // namespace quorvale
