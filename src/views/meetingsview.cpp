#include "meetingsview.h"
#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "rowmodel.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QApplication>
#include <QBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>

namespace quorvale {

namespace {

// A meeting row: a waveform tile, the title over the date, the number of recordings, a chevron.
class MeetingDelegate final : public QStyledItemDelegate
{
public:
    explicit MeetingDelegate(QObject *parent)
        : QStyledItemDelegate(parent)
        , m_waveform(navstyle::tintedIcon(QStringLiteral("waveform"), navstyle::orange()))
    {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        const int text =
            QFontMetrics(navstyle::font(navstyle::Text::Headline, option.font)).height() +
            QFontMetrics(navstyle::font(navstyle::Text::Caption, option.font)).height() + 4;
        return {option.rect.width() > 0 ? option.rect.width() : 400,
                std::max(tileHeight, text) + 2 * verticalPadding};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRect rect = option.rect;
        navstyle::paintRowBackground(painter, QRectF(rect).adjusted(2, 1, -2, -1), option.palette,
                                     option.state.testFlag(QStyle::State_Selected),
                                     option.state.testFlag(QStyle::State_MouseOver));

        const QRect tile(rect.left() + 10, rect.top() + (rect.height() - tileHeight) / 2, 40,
                         tileHeight);
        QColor wash = navstyle::orange();
        wash.setAlphaF(0.08f);
        painter->setPen(Qt::NoPen);
        painter->setBrush(wash);
        painter->drawRoundedRect(tile, 10, 10);
        m_waveform.paint(painter, tile.adjusted(9, 12, -9, -12));

        // From the right: chevron, then the recordings.
        const QColor secondary = navstyle::secondary(option.palette);
        int right = rect.right() - 12;
        const QRect chevron(right - 12, rect.top() + (rect.height() - 12) / 2, 12, 12);
        icon(QStringLiteral("chevron-right"), navstyle::tertiary(option.palette))
            .paint(painter, chevron);
        right = chevron.left() - 14;

        const QString count = QString::number(index.data(CountRole).toLongLong());
        const QFontMetrics body(option.font);
        const int countWidth = body.horizontalAdvance(count);
        painter->setFont(option.font);
        painter->setPen(secondary);
        const QRect countBox(right - countWidth + 1, rect.top(), countWidth, rect.height());
        painter->drawText(countBox, Qt::AlignVCenter | Qt::AlignRight, count);
        const QRect headphones(countBox.left() - 20, rect.top() + (rect.height() - 15) / 2, 15, 15);
        icon(QStringLiteral("headphones"), secondary).paint(painter, headphones);
        right = headphones.left() - 12;

        const QFont headline = navstyle::font(navstyle::Text::Headline, option.font);
        const QFont caption = navstyle::font(navstyle::Text::Caption, option.font);
        const QFontMetrics titleMetrics(headline);
        const QFontMetrics dateMetrics(caption);
        const int left = tile.right() + 14;
        const int width = std::max(0, right - left);
        const int textHeight = titleMetrics.height() + 2 + dateMetrics.height();
        const int top = rect.top() + (rect.height() - textHeight) / 2;
        painter->setFont(headline);
        painter->setPen(option.palette.color(QPalette::Text));
        painter->drawText(QRect(left, top, width, titleMetrics.height()),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                  Qt::ElideRight, width, Qt::TextSingleLine));
        painter->setFont(caption);
        painter->setPen(secondary);
        painter->drawText(QRect(left, top + titleMetrics.height() + 2, width, dateMetrics.height()),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          dateMetrics.elidedText(index.data(DetailRole).toString(), Qt::ElideRight,
                                                 width, Qt::TextSingleLine));
        painter->restore();
    }

private:
    static constexpr int tileHeight = 46;
    static constexpr int verticalPadding = 8;

    const QIcon &icon(const QString &name, const QColor &color) const
    {
        const QString key = name + color.name(QColor::HexArgb);
        auto found = m_icons.find(key);
        if (found == m_icons.end())
            found = m_icons.insert(key, navstyle::tintedIcon(name, color));
        return *found;
    }

    QIcon m_waveform;
    mutable QHash<QString, QIcon> m_icons;
};

// A number in title size over the baseline of its label.
QHBoxLayout *counter(QLabel *number, QLabel *label)
{
    QFont big = navstyle::font(navstyle::Text::Title2, QApplication::font(number));
    big.setBold(true);
    number->setFont(big);
    navstyle::setTone(label, navstyle::Tone::Secondary);
    number->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    label->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    // Both sit on the bottom of the row; lifting the label by the difference of the descents
    // puts the two texts on one baseline.
    const int lift = QFontMetrics(number->font()).descent() - QFontMetrics(label->font()).descent();
    label->setContentsMargins(0, 0, 0, std::max(0, lift));
    auto *row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(number, 0, Qt::AlignBottom);
    row->addWidget(label, 0, Qt::AlignBottom);
    return row;
}

void follow(QLineEdit *field, const QString &value)
{
    // Only a change made elsewhere ("Clear") is written back; what the user types stays as is.
    if (field->text() != value)
        field->setText(value);
}

} // namespace

MeetingsView::MeetingsView(WorkspaceModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_rows(new RowModel(this))
    , m_list(new QListView(this))
    , m_title(new QLabel(this))
    , m_subtitle(new QLabel(this))
    , m_newMeeting(new QPushButton(this))
    , m_query(new QLineEdit(this))
    , m_from(new QLineEdit(this))
    , m_to(new QLineEdit(this))
    , m_clear(new QPushButton(this))
    , m_meetingCount(new QLabel(this))
    , m_importedCount(new QLabel(this))
    , m_recordingCount(new QLabel(this))
    , m_meetingLabel(new QLabel(this))
    , m_importedLabel(new QLabel(this))
    , m_recordingLabel(new QLabel(this))
{
    setFont(navstyle::withEmoji(font()));
    styleHeader();
    styleFilter();
    m_meetingCount->setObjectName(QStringLiteral("meetingCount"));
    m_importedCount->setObjectName(QStringLiteral("importedCount"));
    m_recordingCount->setObjectName(QStringLiteral("recordingCount"));
    setUpList();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 16);
    layout->setSpacing(16);
    layout->addLayout(headerRow());
    layout->addLayout(filterRow());
    layout->addLayout(counterRow());
    layout->addWidget(m_list, 1);

    connectControls();
    showFilter();
    relabel();
}

void MeetingsView::styleHeader()
{
    m_title->setObjectName(QStringLiteral("title"));
    navstyle::setFont(m_title, navstyle::Text::LargeTitle);
    navstyle::setTone(m_subtitle, navstyle::Tone::Secondary);
    m_subtitle->setWordWrap(true);

    m_newMeeting->setObjectName(QStringLiteral("newMeeting"));
    m_newMeeting->setIcon(navstyle::tintedIcon(QStringLiteral("plus"), Qt::white));
    m_newMeeting->setCursor(Qt::PointingHandCursor);
    m_newMeeting->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border: none; "
                       "border-radius: 7px; padding: 7px 14px; font-weight: bold; }"
                       "QPushButton:hover { background: %2; }"
                       "QPushButton:pressed { background: %3; }"
                       "QPushButton:focus { border: 2px solid palette(highlighted-text); }")
            .arg(navstyle::orange().name(), navstyle::orange().darker(108).name(),
                 navstyle::orange().darker(120).name()));
}

void MeetingsView::styleFilter()
{
    m_query->setObjectName(QStringLiteral("query"));
    m_query->setClearButtonEnabled(true);
    m_query->addAction(navstyle::tintedIcon(QStringLiteral("search"), navstyle::Tone::Secondary),
                       QLineEdit::LeadingPosition);
    m_from->setObjectName(QStringLiteral("from"));
    m_to->setObjectName(QStringLiteral("to"));
    for (QLineEdit *date : {m_from, m_to}) {
        date->setFixedWidth(110);
        date->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    }
    m_clear->setObjectName(QStringLiteral("clear"));
}

void MeetingsView::setUpList()
{
    m_list->setObjectName(QStringLiteral("meetings"));
    m_list->setModel(m_rows);
    m_list->setItemDelegate(new MeetingDelegate(m_list));
    m_list->setUniformItemSizes(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setMouseTracking(true);
    m_list->setSpacing(1);
    m_selection = new SelectionBinding(m_list, m_model);
}

QLayout *MeetingsView::headerRow()
{
    auto *heading = new QVBoxLayout;
    heading->setSpacing(2);
    heading->addWidget(m_title);
    heading->addWidget(m_subtitle);
    auto *header = new QHBoxLayout;
    header->addLayout(heading, 1);
    header->addWidget(m_newMeeting, 0, Qt::AlignTop);
    return header;
}

QLayout *MeetingsView::filterRow()
{
    auto *dash = new QLabel(QStringLiteral("—"), this);
    auto *filter = new QHBoxLayout;
    filter->setSpacing(8);
    filter->addWidget(m_query, 1);
    filter->addWidget(m_from);
    filter->addWidget(dash);
    filter->addWidget(m_to);
    filter->addWidget(m_clear);
    return filter;
}

QLayout *MeetingsView::counterRow()
{
    auto *counters = new QHBoxLayout;
    counters->setSpacing(28);
    counters->addLayout(counter(m_meetingCount, m_meetingLabel));
    counters->addLayout(counter(m_importedCount, m_importedLabel));
    counters->addLayout(counter(m_recordingCount, m_recordingLabel));
    counters->addStretch(1);
    return counters;
}

void MeetingsView::connectControls()
{
    connect(m_query, &QLineEdit::textEdited, &m_model, &WorkspaceModel::setQuery);
    connect(m_from, &QLineEdit::textEdited, &m_model, &WorkspaceModel::setFrom);
    connect(m_to, &QLineEdit::textEdited, &m_model, &WorkspaceModel::setTo);
    connect(m_clear, &QPushButton::clicked, this, [this] {
        m_model.setQuery(QString());
        m_model.setFrom(QString());
        m_model.setTo(QString());
    });
    connect(m_newMeeting, &QPushButton::clicked, this, &MeetingsView::createMeeting);

    for (auto signal : {&WorkspaceModel::queryChanged, &WorkspaceModel::fromChanged,
                        &WorkspaceModel::toChanged}) {
        connect(&m_model, signal, this, &MeetingsView::showFilter);
        connect(&m_model, signal, this, &MeetingsView::showMeetings);
    }
    connect(&m_model, &WorkspaceModel::meetingsChanged, this, &MeetingsView::showMeetings);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &MeetingsView::relabel);
}

MeetingsView::Counters MeetingsView::count(const JSON::Array &meetings)
{
    Counters counters;
    counters.meetings = static_cast<qint64>(meetings.size());
    double recordings = 0;
    for (const JSON &meeting : meetings) {
        const JSON &imported = meeting["imported"];
        if (imported.isBool() && imported.boolValue())
            ++counters.imported;
        recordings += meeting["audioCount"].numberValue(0);
    }
    // Truncated and held to the 64-bit range: an absurd count from the server is shown, not
    // overflowed.
    counters.recordings = JSON::truncate(recordings);
    return counters;
}

void MeetingsView::relabel()
{
    m_title->setText(m_model.text("Reuniones", "Meetings"));
    m_subtitle->setText(m_model.text("Vuelve a la conversación. Encuentra sus notas y audios.",
                                     "Return to the conversation. Find its notes and recordings."));
    m_newMeeting->setText(m_model.text("Nueva reunión", "New meeting"));
    m_query->setPlaceholderText(m_model.text("Buscar por nombre…", "Search by name…"));
    style::setToolTipName(m_from, m_model.text("Desde", "From"));
    style::setToolTipName(m_to, m_model.text("Hasta", "To"));
    m_clear->setText(m_model.text("Limpiar", "Clear"));
    m_meetingLabel->setText(m_model.text("reuniones", "meetings"));
    m_importedLabel->setText(m_model.text("importadas", "imported"));
    m_recordingLabel->setText(m_model.text("audios", "recordings"));
    showMeetings();
}

void MeetingsView::showFilter()
{
    follow(m_query, m_model.query());
    follow(m_from, m_model.from());
    follow(m_to, m_model.to());
}

void MeetingsView::showMeetings()
{
    const Counters counters = count(m_model.meetings());
    m_meetingCount->setText(QString::number(counters.meetings));
    m_importedCount->setText(QString::number(counters.imported));
    m_recordingCount->setText(QString::number(counters.recordings));

    const QString undated = m_model.text("Fecha no indicada", "Date not provided");
    std::vector<Row> rows;
    for (const JSON &meeting : m_model.filteredMeetings()) {
        const std::string_view date = meeting["date"].stringValue();
        rows.push_back({jsontext::text(meeting.id()),
                        jsontext::text(meeting["title"].stringValue()),
                        date.empty() ? undated : jsontext::text(date),
                        {},
                        meeting["audioCount"].integerValue(0)});
    }
    m_rows->reconcile(rows);
    m_selection->sync();
}

void MeetingsView::createMeeting()
{
    m_model.newPage(QStringLiteral("document"), true);
    // Saved at once so that the server lists the new meeting; a failure becomes the message and
    // the page stays as unsaved work.
    m_model.run([model = &m_model]() -> QCoro::Task<> { co_await model->save(); });
}

} // namespace quorvale
