#include "pageview/nativetable.h"
#include "files/jsontext.h"
#include "style/viewstyle.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

namespace quorvale {

namespace {

constexpr int cellWidth = 190;
constexpr int cellPadding = 10;
constexpr qreal outlineRadius = 7;

QString cellText(const JSON &value)
{
    if (!value.isString())
        return {};
    const std::string_view text = value.stringValue();
    return jsontext::text(text);
}

// Outline and header background: the mid tone, faint, so the grid reads in light and dark.
QColor quaternary(const QPalette &palette, qreal alpha)
{
    QColor colour = palette.color(QPalette::Mid);
    colour.setAlphaF(static_cast<float>(alpha));
    return colour;
}

QLabel *makeCell(const QString &text, const QFont &font, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // Cell text comes from files and other people: never read it as markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    label->setWordWrap(true);
    label->setFixedWidth(cellWidth);
    label->setContentsMargins(cellPadding, cellPadding, cellPadding, cellPadding);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The cells of a row side by side in fixed-width columns, rows one under the other; the bands
// (header, stripes, dividers) are painted here rather than by a widget per row, and the cells
// are placed by hand, so a large table costs one pass over its cells.
class TableGrid final : public QWidget
{
public:
    explicit TableGrid(QWidget *parent)
        : QWidget(parent)
    {
        style::setAccessibleRole(this, QAccessible::Table);
    }

    // The first row added is the header.
    void addRow(std::vector<QLabel *> cells)
    {
        for (QLabel *cell : cells) {
            cell->setCursor(Qt::IBeamCursor);
            cell->installEventFilter(this);
        }
        m_columns = std::max(m_columns, static_cast<int>(cells.size()));
        m_bands.push_back({std::move(cells), 0, 0});
    }

    void arrange()
    {
        // Rows without cells (an empty header, a row that is not a list) keep one line's height.
        const int emptyHeight = fontMetrics().height() + 2 * cellPadding;
        int top = 0;
        for (std::size_t i = 0; i < m_bands.size(); ++i) {
            Band &band = m_bands[i];
            int height = band.cells.empty() ? emptyHeight : 0;
            for (const QLabel *cell : band.cells)
                height = std::max(height, cell->heightForWidth(cellWidth));
            int left = 0;
            for (QLabel *cell : band.cells) {
                cell->setGeometry(left, top, cellWidth, height);
                left += cellWidth;
            }
            band.top = top;
            band.height = height;
            top += height + (i > 0 ? 1 : 0); // a divider after every row but the header
        }
        if (top != m_height) {
            m_height = top;
            updateGeometry();
            if (m_resized)
                m_resized();
        }
        update();
    }

    // Called when the rows' height changes (a font or style change rewraps the cells).
    void onResized(std::function<void()> resized) { m_resized = std::move(resized); }

    QSize sizeHint() const override { return {std::max(1, m_columns) * cellWidth, m_height}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    // A selectable label carries a text document of its own, which would make building a large
    // table several times slower; a cell becomes selectable when the pointer first reaches it,
    // before any press can start a selection.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type == QEvent::Enter || type == QEvent::MouseButtonPress) {
            auto *cell = qobject_cast<QLabel *>(watched);
            if (cell && !(cell->textInteractionFlags() & Qt::TextSelectableByMouse))
                cell->setTextInteractionFlags(Qt::TextSelectableByMouse);
        }
        return false;
    }

protected:
    bool event(QEvent *event) override
    {
        // A cell asks for another size when its font or style changes.
        if (event->type() == QEvent::LayoutRequest)
            arrange();
        return QWidget::event(event);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        // Round the corners of what is visible, wherever the grid is scrolled to, so the bands
        // stay inside the outline.
        QRectF visible = rect();
        if (const QWidget *port = parentWidget())
            visible = QRectF(QPointF(-pos()), QSizeF(port->size()));
        QPainterPath clip;
        clip.addRoundedRect(visible, outlineRadius - 1, outlineRadius - 1);
        painter.setClipPath(clip);

        QColor stripe = palette().color(QPalette::WindowText);
        stripe.setAlphaF(0.025f);
        const QColor divider = quaternary(palette(), 0.35);
        for (std::size_t i = 0; i < m_bands.size(); ++i) {
            const Band &band = m_bands[i];
            const QRect area(0, band.top, width(), band.height);
            if (i == 0) {
                painter.fillRect(area, quaternary(palette(), 0.25));
                continue;
            }
            // Rows at odd positions, counted from zero below the header.
            if (i % 2 == 0)
                painter.fillRect(area, stripe);
            painter.fillRect(QRect(0, band.top + band.height, width(), 1), divider);
        }
    }

private:
    struct Band
    {
        std::vector<QLabel *> cells;
        int top;
        int height;
    };

    std::vector<Band> m_bands;
    std::function<void()> m_resized;
    int m_columns = 0;
    int m_height = 0;
};

// Scrolls sideways only: its height is always the grid's, plus the scroll bar when the grid is
// wider than the page, because the page itself scrolls vertically.
class TableScroll final : public QScrollArea
{
public:
    explicit TableScroll(QWidget *parent)
        : QScrollArea(parent)
    {
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        viewport()->setAutoFillBackground(false);
    }

    void fit()
    {
        const QWidget *content = widget();
        if (!content)
            return;
        const int contentWidth = content->sizeHint().width();
        int height = content->sizeHint().height();
        if (contentWidth > width())
            height += horizontalScrollBar()->sizeHint().height();
        if (height != this->height() || minimumHeight() != maximumHeight())
            setFixedHeight(height);
    }

    QSize sizeHint() const override
    {
        const QWidget *content = widget();
        return {content ? content->sizeHint().width() : 0, height()};
    }
    QSize minimumSizeHint() const override { return {0, height()}; }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QScrollArea::resizeEvent(event);
        if (event->size().width() != event->oldSize().width())
            fit();
    }
};

} // namespace

NativeTable::NativeTable(const QString &text, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("nativeTable"));
    auto *outer = new QVBoxLayout(this);
    const JSON value = table(text);
    if (value.isNull()) {
        outer->setContentsMargins(0, 0, 0, 0);
        m_raw = makeCell(text, font(), this);
        m_raw->setObjectName(QStringLiteral("tableText"));
        m_raw->setMinimumWidth(0);
        m_raw->setMaximumWidth(QWIDGETSIZE_MAX);
        m_raw->setContentsMargins(0, 0, 0, 0);
        m_raw->setTextInteractionFlags(Qt::TextSelectableByMouse);
        outer->addWidget(m_raw);
        return;
    }

    // One pixel for the outline painted around the grid, which is as high as its rows.
    outer->setContentsMargins(1, 1, 1, 1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto *scroll = new TableScroll(this);
    scroll->setObjectName(QStringLiteral("tableScroll"));
    auto *grid = new TableGrid(scroll);

    QFont headerFont = font();
    if (headerFont.pointSizeF() > 2)
        headerFont.setPointSizeF(headerFont.pointSizeF() - 1);
    headerFont.setBold(true);
    const QFont cellFont = font();

    for (const JSON &header : value["headers"].arrayValue())
        m_headers.push_back(makeCell(cellText(header), headerFont, grid));
    grid->addRow(m_headers);
    const JSON::Array &rows = value["rows"].arrayValue();
    m_rows.reserve(rows.size());
    for (const JSON &row : rows) {
        std::vector<QLabel *> &cells = m_rows.emplace_back();
        for (const JSON &entry : row.arrayValue())
            cells.push_back(makeCell(cellText(entry), cellFont, grid));
        grid->addRow(cells);
    }
    grid->arrange();

    scroll->setWidget(grid);
    outer->addWidget(scroll);
    scroll->fit();
    grid->onResized([scroll] { scroll->fit(); });
}

JSON NativeTable::table(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    try {
        return JSON::decode(
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const std::exception &) {
        return {};
    }
}

QStringList NativeTable::headers() const
{
    QStringList texts;
    for (const QLabel *label : m_headers)
        texts << label->text();
    return texts;
}

QList<QStringList> NativeTable::rows() const
{
    QList<QStringList> texts;
    for (const std::vector<QLabel *> &row : m_rows) {
        QStringList cells;
        for (const QLabel *label : row)
            cells << label->text();
        texts << cells;
    }
    return texts;
}

QLabel *NativeTable::cell(int row, int column) const
{
    if (column < 0)
        return nullptr;
    const auto at = static_cast<std::size_t>(column);
    if (row == -1)
        return at < m_headers.size() ? m_headers[at] : nullptr;
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size())
        return nullptr;
    const std::vector<QLabel *> &cells = m_rows[static_cast<std::size_t>(row)];
    return at < cells.size() ? cells[at] : nullptr;
}

void NativeTable::paintEvent(QPaintEvent *)
{
    if (m_raw)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(quaternary(palette(), 0.5), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), outlineRadius,
                            outlineRadius);
}

} // namespace quorvale
