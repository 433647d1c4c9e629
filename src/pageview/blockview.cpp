#include "pageview/blockview.h"

#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "pageview/attachmentview.h"
#include "pageview/links.h"
#include "pageview/nativetable.h"
#include "style/icons.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <limits>

namespace quorvale {

namespace {

QString typeOf(const JSON &block)
{
    return jsontext::member(block, "type");
}

// The list number an import recorded for a block; 1 when there is none or it is 0.
QString listNumber(const JSON &layout)
{
    const JSON &number = layout["number"];
    if (!number.isNumber())
        return QStringLiteral("1.");
    const std::int64_t n = number.integerValue(); // clamped to 64 bits, never overflows
    return QString::number(n == 0 ? 1 : n) + QLatin1Char('.');
}

int indentOf(const JSON &layout)
{
    const JSON &indent = layout["indent"];
    if (!indent.isNumber())
        return 0;
    // A wild value must not push the text out of the window.
    const double points = std::clamp(indent.numberValue() * 5.0, 0.0, 400.0);
    return static_cast<int>(points);
}

QColor withAlpha(QColor color, float alpha)
{
    color.setAlphaF(alpha);
    return color;
}

QString rgba(const QColor &color)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alphaF(), 0, 'f', 3);
}

} // namespace

// Rich text that remembers its height for the last few widths: a long page asks every row for
// it on each layout pass, and laying out text (shaping, emoji) is what costs.
class RichTextLabel final : public QLabel
{
public:
    using QLabel::QLabel;

    void setMarkup(const QString &markup)
    {
        if (markup == text())
            return;
        forget();
        setText(markup);
    }

    int heightForWidth(int width) const override
    {
        for (const auto &[known, height] : m_heights) {
            if (known == width)
                return height;
        }
        const int height = QLabel::heightForWidth(width);
        m_heights[m_next] = {width, height};
        m_next = (m_next + 1) % m_heights.size();
        return height;
    }

protected:
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            forget();
        QLabel::changeEvent(event);
    }

private:
    void forget() { m_heights.fill({-1, 0}); }

    mutable std::array<std::pair<int, int>, 4> m_heights{{{-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}}};
    mutable std::size_t m_next = 0;
};

BlockView::BlockView(WorkspaceModel &model, JSON block, JSON page, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_block(std::move(block))
    , m_page(std::move(page))
{
    setObjectName(QStringLiteral("blockView"));
    // Reached by Tab in page order; the ring shows which one.
    setFocusPolicy(Qt::TabFocus);
    style::setAccessibleRole(this, QAccessible::Paragraph);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    build();
}

void BlockView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        emit editRequested();
    else
        QWidget::keyPressEvent(event);
}

void BlockView::paintEvent(QPaintEvent *)
{
    if (!hasFocus())
        return;
    QPainter painter(this);
    navstyle::paintFocusRing(&painter, QRectF(rect()), palette());
}

void BlockView::focusInEvent(QFocusEvent *event)
{
    update();
    QWidget::focusInEvent(event);
}

void BlockView::focusOutEvent(QFocusEvent *event)
{
    update();
    QWidget::focusOutEvent(event);
}

void BlockView::setBlock(JSON block, JSON page)
{
    const bool blockChanged = !m_block.isIdenticalTo(block) && m_block != block;
    // Links resolve against the page's blocks, the workspace's pages and the import files;
    // list numbers and indents come from the import's layout.
    const bool resourcesChanged = !m_resourcesShown.isIdenticalTo(m_model.resources());
    const bool pageChanged = !m_page.isIdenticalTo(page);
    const bool sameType = typeOf(m_block) == typeOf(block);
    m_block = std::move(block);
    m_page = std::move(page);
    // Only rows with links or list markers depend on what surrounds the block.
    const bool contextChanged = (m_hasLinks && (resourcesChanged || pageChanged)) ||
                                (resourcesChanged && !m_marker.isEmpty());
    if (!blockChanged && !contextChanged)
        return;
    // An attachment keeps its view, and with it the preview already fetched.
    if (blockChanged && sameType && m_attachment) {
        m_attachment->setBlock(m_block);
        return;
    }
    // The same kind of row with the same marker: only its text may differ. Most of the time
    // (a keystroke elsewhere on the page) it does not, and nothing is laid out again.
    if (sameType && m_text && listMarker() == m_marker && listIndent() == m_indent) {
        m_resourcesShown = m_model.resources();
        static_cast<RichTextLabel *>(m_text)->setMarkup(markup());
        return;
    }
    build();
}

QString BlockView::listMarker() const
{
    const QString type = typeOf(m_block);
    if (type == QLatin1String("todo")) {
        const bool checked = m_block["checked"].isBool() && m_block["checked"].boolValue();
        return checked ? QStringLiteral("checkmark-square-fill") : QStringLiteral("square");
    }
    if (type == QLatin1String("number"))
        return listNumber(m_model.resources()["listLayout"][m_block.id()]);
    if (type == QLatin1String("bullet"))
        return QStringLiteral("•");
    return {};
}

int BlockView::listIndent() const
{
    if (listMarker().isEmpty())
        return 0;
    return indentOf(m_model.resources()["listLayout"][m_block.id()]);
}

QString BlockView::markup()
{
    const links::LinkContext context{m_model.workspace(), m_page, m_model.resources(),
                                     m_model.service().origin()};
    const QString text = jsontext::member(m_block, "text");
    const std::vector<links::Run> runs = links::attributed(text, context);
    m_hasLinks = std::any_of(runs.begin(), runs.end(),
                             [](const links::Run &r) { return r.link.has_value(); });
    // A link that lost its target still depends on the context: it may resolve later.
    if (!m_hasLinks)
        m_hasLinks = text.contains(QLatin1Char(']'));
    return html(runs);
}

QString BlockView::html(const std::vector<links::Run> &runs)
{
    QString out = QStringLiteral("<span style=\"white-space: pre-wrap;\">");
    for (const links::Run &run : runs) {
        QString piece = run.text.toHtmlEscaped();
        piece.replace(QLatin1Char('\n'), QStringLiteral("<br/>"));
        if (run.code)
            piece = QStringLiteral("<code>") + piece + QStringLiteral("</code>");
        if (run.italic)
            piece = QStringLiteral("<i>") + piece + QStringLiteral("</i>");
        if (run.bold)
            piece = QStringLiteral("<b>") + piece + QStringLiteral("</b>");
        if (run.link) {
            const QString href =
                QString::fromUtf8(run.link->toEncoded(QUrl::FullyEncoded)).toHtmlEscaped();
            piece = QStringLiteral("<a href=\"") + href + QStringLiteral("\">") + piece +
                    QStringLiteral("</a>");
        }
        out += piece;
    }
    out += QStringLiteral("</span>");
    return out;
}

QLabel *BlockView::richText(QWidget *parent)
{
    auto *label = new RichTextLabel(parent);
    label->setObjectName(QStringLiteral("blockText"));
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(false);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    label->setMarkup(markup());
    connect(label, &QLabel::linkActivated, this,
            [this](const QString &link) { emit linkActivated(QUrl(link)); });
    return label;
}

BlockView::Builder BlockView::builderFor(const QString &type)
{
    static const std::array<std::pair<QLatin1String, Builder>, 13> builders{{
        {QLatin1String("divider"), &BlockView::buildDivider},
        {QLatin1String("h1"), &BlockView::buildHeading},
        {QLatin1String("h2"), &BlockView::buildHeading},
        {QLatin1String("h3"), &BlockView::buildHeading},
        {QLatin1String("bullet"), &BlockView::buildListRow},
        {QLatin1String("number"), &BlockView::buildListRow},
        {QLatin1String("todo"), &BlockView::buildListRow},
        {QLatin1String("quote"), &BlockView::buildQuote},
        {QLatin1String("callout"), &BlockView::buildCallout},
        {QLatin1String("code"), &BlockView::buildCode},
        {QLatin1String("pageLink"), &BlockView::buildPageLink},
        {QLatin1String("attachment"), &BlockView::buildAttachment},
        {QLatin1String("table"), &BlockView::buildTable},
    }};
    for (const auto &[name, builder] : builders) {
        if (type == name)
            return builder;
    }
    return &BlockView::buildText;
}

void BlockView::build()
{
    if (m_content) {
        layout()->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_text = nullptr;
    m_attachment = nullptr;
    m_marker.clear();
    m_indent = 0;
    m_hasLinks = false;

    m_resourcesShown = m_model.resources();
    m_content = new QWidget(this);
    (this->*builderFor(typeOf(m_block)))();
    layout()->addWidget(m_content);
}

QVBoxLayout *BlockView::contentBox()
{
    auto *box = new QVBoxLayout(m_content);
    box->setContentsMargins(0, 0, 0, 0);
    return box;
}

void BlockView::buildDivider()
{
    auto *box = contentBox();
    box->setContentsMargins(0, 8, 0, 8);
    auto *rule = new QFrame(m_content);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setStyleSheet(QStringLiteral("color: rgba(128, 128, 128, 35%);"));
    box->addWidget(rule);
}

void BlockView::buildHeading()
{
    const QString type = typeOf(m_block);
    auto *box = contentBox();
    const int above = type == QLatin1String("h1") ? 20 : type == QLatin1String("h2") ? 16 : 12;
    const navstyle::Text size = type == QLatin1String("h1")   ? navstyle::Text::Title
                                : type == QLatin1String("h2") ? navstyle::Text::Title2
                                                              : navstyle::Text::Title3;
    box->setContentsMargins(0, above, 0, 0);
    m_text = richText(m_content);
    QFont heading = navstyle::font(size, m_text->font());
    heading.setBold(true);
    m_text->setFont(heading);
    box->addWidget(m_text);
}

void BlockView::buildListRow()
{
    m_indent = listIndent();
    m_marker = listMarker();
    auto *row = new QHBoxLayout(m_content);
    row->setContentsMargins(m_indent, 0, 0, 0);
    row->setSpacing(10);
    auto *marker = new QLabel(m_content);
    marker->setObjectName(QStringLiteral("blockMarker"));
    marker->setTextFormat(Qt::PlainText);
    if (typeOf(m_block) == QLatin1String("todo")) {
        const int side = fontMetrics().height();
        marker->setPixmap(
            navstyle::tintedIcon(m_marker, navstyle::Tone::Secondary).pixmap(side, side));
    } else {
        marker->setText(m_marker);
        navstyle::setTone(marker, navstyle::Tone::Secondary);
    }
    row->addWidget(marker, 0, Qt::AlignTop);
    m_text = richText(m_content);
    row->addWidget(m_text, 1, Qt::AlignTop);
}

void BlockView::buildQuote()
{
    auto *row = new QHBoxLayout(m_content);
    row->setContentsMargins(8, 0, 0, 0);
    row->setSpacing(8);
    auto *bar = new QFrame(m_content);
    bar->setFixedWidth(3);
    bar->setStyleSheet(
        QStringLiteral("background: %1;").arg(rgba(withAlpha(navstyle::orange(), 0.6f))));
    row->addWidget(bar);
    m_text = richText(m_content);
    QFont italic = m_text->font();
    italic.setItalic(true);
    m_text->setFont(italic);
    row->addWidget(m_text, 1);
}

void BlockView::buildCallout()
{
    m_content->setObjectName(QStringLiteral("callout"));
    m_content->setAttribute(Qt::WA_StyledBackground);
    m_content->setStyleSheet(QStringLiteral("#callout { background: %1; border-radius: 9px; }")
                                 .arg(rgba(withAlpha(navstyle::orange(), 0.07f))));
    auto *row = new QHBoxLayout(m_content);
    row->setContentsMargins(16, 16, 16, 16);
    row->setSpacing(10);
    auto *bulb = new QLabel(QStringLiteral("💡"), m_content);
    bulb->setFont(navstyle::withEmoji(bulb->font()));
    row->addWidget(bulb, 0, Qt::AlignTop);
    m_text = richText(m_content);
    row->addWidget(m_text, 1, Qt::AlignTop);
}

void BlockView::buildCode()
{
    auto *box = contentBox();
    auto *scroll = new QScrollArea(m_content);
    scroll->setObjectName(QStringLiteral("codeBlock"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setStyleSheet(QStringLiteral("#codeBlock { background: %1; border-radius: 8px; }"
                                         "#blockCode { background: transparent; padding: 16px; }")
                              .arg(quaternaryFill(0.35f)));
    auto *code = new QLabel(scroll);
    code->setObjectName(QStringLiteral("blockCode"));
    code->setTextFormat(Qt::PlainText);
    code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    code->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    code->setText(jsontext::member(m_block, "text"));
    scroll->setWidget(code);
    scroll->setWidgetResizable(true);
    // Tall enough for the code and, when it is wider than the page, its scroll bar.
    code->ensurePolished();
    scroll->setFixedHeight(code->sizeHint().height() +
                           scroll->horizontalScrollBar()->sizeHint().height());
    box->addWidget(scroll);
}

void BlockView::buildPageLink()
{
    auto *box = contentBox();
    auto *button = new QPushButton(m_content);
    button->setObjectName(QStringLiteral("pageLink"));
    button->setFlat(true);
    button->setIcon(navstyle::tintedIcon(QStringLiteral("document"), navstyle::Tone::Secondary));
    button->setText(jsontext::member(m_block, "text"));
    button->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 4px 0; }"));
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, [this] {
        const JSON &target = m_block["targetPageId"];
        if (target.isString())
            m_model.select(jsontext::text(target.stringValue()));
    });
    box->addWidget(button);
}

void BlockView::buildAttachment()
{
    auto *box = contentBox();
    m_attachment = new AttachmentView(m_model, m_block, m_content);
    box->addWidget(m_attachment);
}

void BlockView::buildTable()
{
    contentBox()->addWidget(new NativeTable(jsontext::member(m_block, "text"), m_content));
}

void BlockView::buildText()
{
    auto *box = contentBox();
    m_text = richText(m_content);
    box->addWidget(m_text);
}

QString quaternaryFill(float opacity)
{
    // Mid grey darkens a light window and lightens a dark one alike.
    return rgba(withAlpha(QColor(128, 128, 128), 0.25f * opacity));
}

} // namespace quorvale
