#include "sidebar.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "pagetree.h"
#include "rowmodel.h"
#include "sidebarrow.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>

namespace quorvale {

namespace {

// One line that ends in "…" when the column is narrower than the text.
class ElidedLabel final : public QLabel
{
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        const QRect box = contentsRect();
        painter.drawText(
            box, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
            fontMetrics().elidedText(text(), Qt::ElideRight, box.width(), Qt::TextSingleLine));
    }
};

QLabel *sectionHeader(const QString &name, QWidget *parent)
{
    auto *header = new QLabel(parent);
    header->setObjectName(name);
    navstyle::setFont(header, navstyle::Text::SectionHeader);
    navstyle::setTone(header, navstyle::Tone::Secondary);
    header->setContentsMargins(8, 10, 8, 2);
    return header;
}

// A list that shows all its rows: the sidebar scrolls as a whole.
QListView *rowList(const QString &name, RowModel *rows, QWidget *parent)
{
    auto *list = new QListView(parent);
    list->setObjectName(name);
    list->setModel(rows);
    list->setItemDelegate(new SidebarRowDelegate(list));
    list->setUniformItemSizes(true);
    list->setFrameShape(QFrame::NoFrame);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setMouseTracking(true);
    list->setAutoScroll(false);
    list->viewport()->setAutoFillBackground(false);
    auto fit = [list, rows] {
        list->setFixedHeight(rows->rowCount() * SidebarRowDelegate::rowHeight(list->font()) +
                             2 * list->frameWidth());
    };
    QObject::connect(rows, &QAbstractItemModel::rowsInserted, list, fit);
    QObject::connect(rows, &QAbstractItemModel::rowsRemoved, list, fit);
    QObject::connect(rows, &QAbstractItemModel::modelReset, list, fit);
    fit();
    return list;
}

QPushButton *actionButton(const QString &name, const QString &symbol, QWidget *parent)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(name);
    button->setIcon(navstyle::tintedIcon(symbol, navstyle::orange()));
    button->setIconSize(QSize(16, 16));
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    // Grey under the mouse reads on light and dark alike; the ring shows the keyboard's place.
    button->setStyleSheet(
        QStringLiteral("QPushButton { text-align: left; padding: 5px 8px; "
                       "border: none; border-radius: 6px; }"
                       "QPushButton:hover { background: rgba(128, 128, 128, 30); }"
                       "QPushButton:focus { border: 2px solid palette(highlight); }"));
    return button;
}

} // namespace

Sidebar::Sidebar(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_navigationRows(new RowModel(this))
    , m_favoriteRows(new RowModel(this))
{
    setObjectName(QStringLiteral("sidebar"));
    setFont(navstyle::withEmoji(font()));
    setMinimumWidth(230);
    setMaximumWidth(360);

    QWidget *lists = buildLists();
    // The account bar stays at the bottom while the lists scroll.
    QWidget *footer = buildAccountBar();
    auto *rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    navstyle::setTone(rule, navstyle::Tone::Tertiary);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(lists, 1);
    layout->addWidget(rule);
    layout->addWidget(footer);

    m_navigationSelection = new SelectionBinding(m_navigation, model);
    m_favoritesSelection = new SelectionBinding(m_favorites, model);
    connectControls();
    relabel();
    showAccount();
    showFavorites();
}

void Sidebar::paintEvent(QPaintEvent *)
{
    // A shade off the window, worked out as it is drawn so that it follows the scheme.
    QPainter painter(this);
    const QColor window = palette().color(QPalette::Window);
    painter.fillRect(rect(), window.lightness() < 128 ? window.lighter(115) : window.darker(104));
}

QWidget *Sidebar::buildLists()
{
    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto *body = new QWidget(scroll);
    body->setAutoFillBackground(false);
    scroll->setWidget(body);

    m_quorvaleHeader = sectionHeader(QStringLiteral("quorvaleHeader"), body);
    m_navigation = rowList(QStringLiteral("navigation"), m_navigationRows, body);
    m_favoritesHeader = sectionHeader(QStringLiteral("favoritesHeader"), body);
    m_favorites = rowList(QStringLiteral("favorites"), m_favoriteRows, body);
    m_privateHeader = sectionHeader(QStringLiteral("privateHeader"), body);
    m_tree = new PageTree(m_model, body);
    m_tree->setObjectName(QStringLiteral("pageTree"));
    m_newPage = actionButton(QStringLiteral("newPage"), QStringLiteral("plus"), body);
    m_newBoard = actionButton(QStringLiteral("newBoard"), QStringLiteral("columns"), body);
    m_import =
        actionButton(QStringLiteral("importNotion"), QStringLiteral("tray-arrow-down"), body);

    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(8, 6, 8, 8);
    column->setSpacing(0);
    for (QWidget *w :
         {static_cast<QWidget *>(m_quorvaleHeader), static_cast<QWidget *>(m_navigation),
          static_cast<QWidget *>(m_favoritesHeader), static_cast<QWidget *>(m_favorites),
          static_cast<QWidget *>(m_privateHeader), static_cast<QWidget *>(m_tree)})
        column->addWidget(w);
    column->addSpacing(10);
    for (QWidget *w : {m_newPage, m_newBoard, m_import})
        column->addWidget(w);
    column->addStretch(1);
    return scroll;
}

QWidget *Sidebar::buildAccountBar()
{
    auto *footer = new QWidget(this);
    footer->setObjectName(QStringLiteral("accountBar"));
    m_email = new ElidedLabel(footer);
    m_email->setObjectName(QStringLiteral("email"));
    navstyle::setFont(m_email, navstyle::Text::Caption);
    m_settings = new QToolButton(footer);
    m_settings->setObjectName(QStringLiteral("settings"));
    m_settings->setIcon(navstyle::tintedIcon(QStringLiteral("gear"), navstyle::Tone::Secondary));
    m_settings->setIconSize(QSize(18, 18));
    m_settings->setAutoRaise(true);
    m_signOut = new QPushButton(footer);
    m_signOut->setObjectName(QStringLiteral("signOut"));
    auto *footerRow = new QHBoxLayout;
    footerRow->setContentsMargins(0, 0, 0, 0);
    footerRow->addWidget(m_settings);
    footerRow->addStretch(1);
    footerRow->addWidget(m_signOut);
    auto *footerColumn = new QVBoxLayout(footer);
    footerColumn->setContentsMargins(14, 14, 14, 14);
    footerColumn->setSpacing(6);
    footerColumn->addWidget(m_email);
    footerColumn->addLayout(footerRow);
    return footer;
}

void Sidebar::connectControls()
{
    connect(m_newPage, &QPushButton::clicked, this,
            [this] { m_model.newPage(QStringLiteral("document"), false); });
    connect(m_newBoard, &QPushButton::clicked, this,
            [this] { m_model.newPage(QStringLiteral("board"), false); });
    connect(m_import, &QPushButton::clicked, this, &Sidebar::importRequested);
    connect(m_settings, &QToolButton::clicked, this, &Sidebar::settingsRequested);
    connect(m_signOut, &QPushButton::clicked, this, &Sidebar::signOutRequested);

    connect(&m_model, &WorkspaceModel::languageChanged, this, &Sidebar::relabel);
    connect(&m_model, &WorkspaceModel::accountChanged, this, &Sidebar::showAccount);
    connect(&m_model, &WorkspaceModel::accountsChanged, this, &Sidebar::showNavigation);
    connect(&m_model, &WorkspaceModel::workspaceChanged, this, &Sidebar::showFavorites);
}

QSize Sidebar::sizeHint() const
{
    return {260, QWidget::sizeHint().height()};
}

void Sidebar::relabel()
{
    m_quorvaleHeader->setText(QStringLiteral("Quorvale"));
    m_favoritesHeader->setText(m_model.text("Favoritos", "Favorites"));
    m_privateHeader->setText(m_model.text("Espacio privado", "Private workspace"));
    // The lists are read by their headers' names; the first one's header is the product's.
    m_navigation->setAccessibleName(m_model.text("Navegación", "Navigation"));
    m_favorites->setAccessibleName(m_favoritesHeader->text());
    m_newPage->setText(m_model.text("Nueva página", "New page"));
    m_newBoard->setText(m_model.text("Nuevo tablero", "New board"));
    m_import->setText(m_model.text("Importar de Notion", "Import from Notion"));
    style::setToolTipName(m_settings, m_model.text("Ajustes", "Settings"));
    m_signOut->setText(m_model.text("Salir", "Sign out"));
    showNavigation();
}

void Sidebar::showNavigation()
{
    std::vector<Row> rows{
        {QStringLiteral("@meetings"),
         m_model.text("Reuniones", "Meetings"),
         {},
         QStringLiteral("waveform"),
         {}},
        {QStringLiteral("@pages"),
         m_model.text("Todas las páginas", "All pages"),
         {},
         QStringLiteral("documents"),
         {}},
    };
    if (m_model.isAdmin()) {
        const auto &accounts = m_model.accounts();
        const auto pending = std::count_if(accounts.begin(), accounts.end(), [](const JSON &a) {
            return a["status"].stringValue() == "pending";
        });
        rows.push_back({QStringLiteral("@admin"),
                        m_model.text("Administración", "Administration"),
                        {},
                        QStringLiteral("person-key"),
                        static_cast<qint64>(pending)});
    }
    m_navigationRows->reconcile(rows);
    m_navigationSelection->sync();
}

void Sidebar::showFavorites()
{
    std::vector<Row> rows;
    for (const JSON &page : m_model.visiblePages()) {
        const JSON &favorite = page["favorite"];
        if (!favorite.isBool() || !favorite.boolValue())
            continue;
        const std::string_view id = page.id();
        rows.push_back({jsontext::text(id),
                        pageRowText(page["icon"].stringValue(), page["title"].stringValue()),
                        {},
                        {},
                        {}});
    }
    m_favoriteRows->reconcile(rows);
    m_favoritesSelection->sync();
}

void Sidebar::showAccount()
{
    const std::string_view email = m_model.account()["email"].stringValue();
    m_email->setText(jsontext::text(email));
    m_email->setToolTip(m_email->text());
    showNavigation();
}

} // namespace quorvale
