#include "recordingpanel/recordingpanel.h"

#include "files/jsontext.h"
#include "model/workspacemodel.h"
#include "recorder/meetingrecorder.h"
#include "recordingpanel/meetingaudio.h"
#include "recordingpanel/transcriptview.h"
#include "style/icons.h"
#include "style/viewstyle.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace quorvale {

// A source's level while recording: a bar that fills with the loudness, on a decibel scale so
// that speech at a normal distance reaches the middle.
class LevelMeter final : public QWidget
{
public:
    explicit LevelMeter(QWidget *parent)
        : QWidget(parent)
    {
        style::setAccessibleRole(this, QAccessible::Indicator);
        setFixedHeight(8);
        setMinimumWidth(120);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    float level() const { return m_level; }
    void setLevel(float level)
    {
        if (level == m_level)
            return;
        m_level = level;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor track = palette().color(QPalette::WindowText);
        track.setAlphaF(0.12f);
        painter.setBrush(track);
        const QRectF all = rect();
        painter.drawRoundedRect(all, 4, 4);
        // -60 dBFS and below is empty, 0 dBFS full.
        const double decibels = m_level > 0 ? 20.0 * std::log10(double(m_level)) : -60.0;
        const double fill = std::clamp((decibels + 60.0) / 60.0, 0.0, 1.0);
        if (fill <= 0)
            return;
        painter.setBrush(fill > 0.9 ? QColor(0xff, 0x3b, 0x30) : QColor(0x34, 0xc7, 0x59));
        painter.drawRoundedRect(QRectF(all.left(), all.top(), all.width() * fill, all.height()), 4,
                                4);
    }

private:
    float m_level = 0;
};

namespace {

QWidget *bareRow(QWidget *parent, QHBoxLayout *&row, int spacing = 10)
{
    auto *holder = new QWidget(parent);
    row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return holder;
}

QPushButton *iconButton(const char *icon, QWidget *parent, const char *name)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setIcon(quorvale::icon(QString::fromLatin1(icon)));
    return button;
}

QString megabytes(qint64 bytes)
{
    return QString::asprintf("%.1f", double(bytes) / 1048576.0);
}

} // namespace

RecordingPanel::RecordingPanel(MeetingAudio &audio, QString pageID, QWidget *parent)
    : QWidget(parent)
    , m_audio(audio)
    , m_model(audio.model())
    , m_recorder(audio.recorder())
    , m_pageID(std::move(pageID))
{
    setObjectName(QStringLiteral("recordingPanel"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#recordingPanel { background: rgba(255, 149, 0, 11);"
                                 " border-radius: 14px; }"
                                 "#recordingCard { background: palette(base);"
                                 " border-radius: 9px; }"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(16);
    buildHeader(*column);
    buildControls(*column);

    m_pending = new QWidget(this);
    m_pendingList = style::bareColumn(m_pending, 8);
    column->addWidget(m_pending);
    m_cards = new QWidget(this);
    m_cardList = style::bareColumn(m_cards, 12);
    column->addWidget(m_cards);
    m_empty = new QLabel(this);
    m_empty->setObjectName(QStringLiteral("noRecordings"));
    style::setFont(m_empty, style::Text::Callout);
    style::setSecondary(m_empty);
    column->addWidget(m_empty);
    m_transcript = new TranscriptView(m_model, this);
    column->addWidget(m_transcript);

    m_tick = new QTimer(this);
    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &RecordingPanel::refreshControls);
    m_position = new QTimer(this);
    m_position->setInterval(500);
    connect(m_position, &QTimer::timeout, this, &RecordingPanel::refreshPlayback);

    connect(&m_recorder, &MeetingRecorder::isRecordingChanged, this,
            &RecordingPanel::refreshControls);
    connect(&m_recorder, &MeetingRecorder::isFinishingChanged, this,
            &RecordingPanel::refreshControls);
    connect(&m_recorder, &MeetingRecorder::errorChanged, this, &RecordingPanel::refreshControls);
    connect(&m_recorder, &MeetingRecorder::systemSilentChanged, this,
            &RecordingPanel::refreshControls);
    connect(&m_recorder, &MeetingRecorder::levelsChanged, this, &RecordingPanel::refreshLevels);
    connect(&m_model, &WorkspaceModel::busyChanged, this, &RecordingPanel::refreshControls);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &RecordingPanel::relabel);
    connect(&m_model, &WorkspaceModel::recordingsChanged, this, &RecordingPanel::refreshRecordings);
    connect(&m_model, &WorkspaceModel::playingChanged, this, &RecordingPanel::refreshPlayback);
    connect(&m_model, &WorkspaceModel::transcriptChanged, this, &RecordingPanel::refreshTranscript);
    connect(&m_model, &WorkspaceModel::accountChanged, this, &RecordingPanel::refreshPending);
    connect(&m_audio, &MeetingAudio::transfersChanged, this, &RecordingPanel::refreshTransfers);
    connect(&m_audio, &MeetingAudio::pendingChanged, this, &RecordingPanel::refreshPending);

    relabel();
    refreshTransfers();
    refreshPending();
    refreshTranscript();
}

void RecordingPanel::buildHeader(QVBoxLayout &column)
{
    QHBoxLayout *row = nullptr;
    column.addWidget(bareRow(this, row, 12));
    auto *symbol = new QLabel(this);
    symbol->setPixmap(icon(QStringLiteral("waveform-circle-fill")).pixmap(40, 40));
    row->addWidget(symbol, 0, Qt::AlignTop);
    auto *texts = new QWidget(this);
    QVBoxLayout *lines = style::bareColumn(texts, 2);
    m_title = new QLabel(texts);
    m_title->setObjectName(QStringLiteral("recordingTitle"));
    style::setFont(m_title, style::Text::Title);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_subtitle = new QLabel(texts);
    m_subtitle->setObjectName(QStringLiteral("recordingSubtitle"));
    style::setFont(m_subtitle, style::Text::Caption);
    style::setSecondary(m_subtitle);
    lines->addWidget(m_title);
    lines->addWidget(m_subtitle);
    row->addWidget(texts);
    row->addStretch(1);
}

void RecordingPanel::buildControls(QVBoxLayout &column)
{
    QHBoxLayout *idle = nullptr;
    m_idleRow = bareRow(this, idle);
    m_record = iconButton("record-circle", m_idleRow, "recordMeeting");
    style::setProminent(m_record);
    m_import = iconButton("tray-arrow-down", m_idleRow, "importAudio");
    idle->addWidget(m_record);
    idle->addWidget(m_import);
    idle->addStretch(1);
    connect(m_record, &QPushButton::clicked, this, &RecordingPanel::confirmRecording);
    connect(m_import, &QPushButton::clicked, this, &RecordingPanel::importAudio);

    QHBoxLayout *recording = nullptr;
    m_recordingRow = bareRow(this, recording);
    m_timer = new QLabel(m_recordingRow);
    m_timer->setObjectName(QStringLiteral("recordingTimer"));
    style::setFont(m_timer, style::Text::Title3);
    QFont digits = m_timer->font();
    digits.setFamilies(QFontDatabase::systemFont(QFontDatabase::FixedFont).families());
    m_timer->setFont(digits);
    style::setTextColor(m_timer, QColor(0xff, 0x3b, 0x30));
    m_stop = iconButton("stop-fill", m_recordingRow, "stopAndSave");
    style::setProminent(m_stop);
    recording->addWidget(m_timer);
    recording->addWidget(m_stop);
    recording->addStretch(1);
    connect(m_stop, &QPushButton::clicked, &m_audio, &MeetingAudio::stopAndSave);

    // A level per source while recording: a silent one is seen during the meeting, not after.
    m_levels = new QWidget(this);
    m_levels->setObjectName(QStringLiteral("recordingLevels"));
    QVBoxLayout *meters = style::bareColumn(m_levels, 6);
    for (auto [label, meter, name] :
         {std::tuple{&m_microphoneLabel, &m_microphone, "microphoneLevel"},
          std::tuple{&m_systemLabel, &m_system, "systemLevel"}}) {
        QHBoxLayout *line = nullptr;
        meters->addWidget(bareRow(m_levels, line));
        *label = new QLabel(m_levels);
        style::setFont(*label, style::Text::Caption);
        style::setSecondary(*label);
        (*label)->setMinimumWidth(150);
        *meter = new LevelMeter(m_levels);
        (*meter)->setObjectName(QString::fromLatin1(name));
        line->addWidget(*label);
        line->addWidget(*meter, 1);
    }

    m_silent = new QLabel(this);
    m_silent->setObjectName(QStringLiteral("silentSystemWarning"));
    m_silent->setWordWrap(true);
    style::setTextColor(m_silent, style::orange());
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("recorderError"));
    m_error->setWordWrap(true);
    m_error->setTextFormat(Qt::PlainText);
    style::setTextColor(m_error, QColor(0xff, 0x3b, 0x30));

    m_transfer = new QWidget(this);
    m_transfer->setObjectName(QStringLiteral("uploadProgress"));
    QVBoxLayout *transfer = style::bareColumn(m_transfer, 4);
    m_transferText = new QLabel(m_transfer);
    style::setFont(m_transferText, style::Text::Caption);
    style::setSecondary(m_transferText);
    m_transferBar = new QProgressBar(m_transfer);
    m_transferBar->setTextVisible(false);
    m_transferBar->setMaximumHeight(8);
    transfer->addWidget(m_transferText);
    transfer->addWidget(m_transferBar);

    for (QWidget *part : {m_idleRow, m_recordingRow, m_levels, static_cast<QWidget *>(m_silent),
                          static_cast<QWidget *>(m_error), m_transfer})
        column.addWidget(part);
}

void RecordingPanel::relabel()
{
    m_title->setText(m_model.text("La conversación, a mano.", "Keep the conversation close."));
    m_subtitle->setText(
        m_model.text("Micrófono y audio del equipo · Teams, Zoom y Google Meet",
                     "Microphone and computer audio · Teams, Zoom, and Google Meet"));
    m_record->setText(m_model.text("Grabar reunión", "Record meeting"));
    m_import->setText(m_model.text("Importar audio…", "Import audio…"));
    m_stop->setText(m_model.text("Detener y guardar", "Stop and save"));
    m_microphoneLabel->setText(m_model.text("Micrófono", "Microphone"));
    m_systemLabel->setText(m_model.text("Audio del equipo", "Computer audio"));
    m_microphone->setAccessibleName(m_microphoneLabel->text());
    m_system->setAccessibleName(m_systemLabel->text());
    m_silent->setText(m_model.text("Los demás participantes no quedaron grabados: revisa el "
                                   "dispositivo de salida.",
                                   "The other participants were not recorded: check the output "
                                   "device."));
    m_empty->setText(m_model.text("Todavía no hay audios en esta reunión.",
                                  "This meeting has no recordings yet."));
    refreshControls();
    refreshTransfers();
    refreshPending();
    m_recordingsShown.clear();
    refreshRecordings();
}

QString RecordingPanel::elapsedText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    if (seconds >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                                 seconds % 60);
    return QString::asprintf("%lld:%02lld", seconds / 60, seconds % 60);
}

void RecordingPanel::refreshControls()
{
    const bool recording = m_recorder.isRecording();
    m_idleRow->setVisible(!recording);
    m_recordingRow->setVisible(recording);
    m_levels->setVisible(recording);
    m_record->setEnabled(!m_recorder.isFinishing() && !m_model.busy());
    if (recording) {
        const QDateTime &started = m_recorder.started();
        const qint64 elapsed =
            started.isValid() ? started.secsTo(QDateTime::currentDateTimeUtc()) : 0;
        m_timer->setText(elapsedText(elapsed));
        if (!m_tick->isActive())
            m_tick->start();
    } else {
        m_tick->stop();
    }
    m_silent->setVisible(!recording && m_recorder.systemSilent());
    m_error->setText(m_recorder.error());
    m_error->setVisible(!m_recorder.error().isEmpty());
    refreshLevels();
    refreshPlayback();
}

void RecordingPanel::refreshLevels()
{
    m_microphone->setLevel(m_recorder.microphoneLevel());
    m_system->setLevel(m_recorder.systemLevel());
}

void RecordingPanel::refreshTransfers()
{
    const auto &transfers = m_audio.transfers();
    m_transfer->setVisible(!transfers.empty());
    if (transfers.empty())
        return;
    qint64 sent = 0;
    qint64 total = 0;
    for (const MeetingAudio::Transfer &transfer : transfers) {
        sent += transfer.sent;
        total += transfer.total;
    }
    m_transferText->setText(
        m_model.text("Subiendo el audio… %1 de %2 MB", "Uploading audio… %1 of %2 MB")
            .arg(megabytes(sent), megabytes(total)));
    // Per mille, so that sizes past what an int holds still move the bar.
    m_transferBar->setRange(0, 1000);
    m_transferBar->setValue(total > 0 ? int(sent * 1000 / total) : 0);
}

void RecordingPanel::refreshPending()
{
    style::clearLayout(*m_pendingList);
    const QStringList pending = m_audio.pending();
    for (const QString &directory : pending) {
        QHBoxLayout *row = nullptr;
        QWidget *holder = bareRow(m_pending, row);
        holder->setObjectName(QStringLiteral("pendingRow"));
        auto *symbol = new QLabel(holder);
        symbol->setPixmap(
            icon(QStringLiteral("externaldrive-badge-exclamationmark")).pixmap(18, 18));
        auto *label = new QLabel(
            m_model.text("Audio pendiente en este equipo", "Audio pending on this computer"),
            holder);
        auto *recover =
            new QPushButton(m_model.text("Recuperar y subir", "Recover and upload"), holder);
        recover->setObjectName(QStringLiteral("recoverAndUpload"));
        connect(recover, &QPushButton::clicked, &m_audio,
                [this, directory] { m_audio.recoverAndUpload(directory); });
        row->addWidget(symbol);
        row->addWidget(label);
        row->addStretch(1);
        row->addWidget(recover);
        m_pendingList->addWidget(holder);
    }
    m_pending->setVisible(!pending.isEmpty());
}

QString RecordingPanel::sizeText(const JSON &recording)
{
    const JSON &bytes = recording["bytes"];
    return QString::asprintf("%.1f MB", (bytes.isNumber() ? bytes.numberValue() : 0) / 1048576.0);
}

QString RecordingPanel::downloadName(const JSON &recording)
{
    const QString type = jsontext::member(recording, "mimeType");
    QString extension = QStringLiteral("m4a");
    if (type == u"audio/mpeg")
        extension = QStringLiteral("mp3");
    else if (type == u"audio/wav")
        extension = QStringLiteral("wav");
    else if (type == u"audio/webm")
        extension = QStringLiteral("webm");
    else if (type == u"audio/ogg")
        extension = QStringLiteral("ogg");
    return jsontext::member(recording, "name") + u'.' + extension;
}

void RecordingPanel::refreshRecordings()
{
    const JSON::Array &recordings = m_model.recordings();
    m_empty->setVisible(recordings.empty());
    if (recordings == m_recordingsShown)
        return;
    m_recordingsShown = recordings;
    style::clearLayout(*m_cardList);
    for (const JSON &recording : recordings)
        m_cardList->addWidget(makeCard(recording));
    refreshPlayback();
}

QWidget *RecordingPanel::makeCard(const JSON &recording)
{
    auto *card = new QWidget(m_cards);
    card->setObjectName(QStringLiteral("recordingCard"));
    card->setAttribute(Qt::WA_StyledBackground, true);
    card->setProperty("recordingId", jsontext::text(recording.id()));
    QVBoxLayout *column = style::bareColumn(card, 8);
    column->setContentsMargins(14, 14, 14, 14);

    QHBoxLayout *top = nullptr;
    column->addWidget(bareRow(card, top));
    QPushButton *play = iconButton("play-fill", card, "playRecording");
    connect(play, &QPushButton::clicked, this, [this, recording] { m_model.play(recording); });
    auto *texts = new QWidget(card);
    QVBoxLayout *lines = style::bareColumn(texts, 2);
    auto *name = new QLabel(jsontext::member(recording, "name"), texts);
    name->setTextFormat(Qt::PlainText);
    style::setFont(name, style::Text::Headline);
    auto *size = new QLabel(sizeText(recording), texts);
    style::setFont(size, style::Text::Caption);
    style::setSecondary(size);
    lines->addWidget(name);
    lines->addWidget(size);
    QPushButton *download = iconButton("arrow-down-to-line", card, "downloadRecording");
    download->setFlat(true);
    style::setToolTipName(download, m_model.text("Descargar", "Download"));
    connect(download, &QPushButton::clicked, this, [this, recording] {
        m_model.saveFile(jsontext::member(recording, "audioUrl"), downloadName(recording));
    });
    top->addWidget(play);
    top->addWidget(texts);
    top->addStretch(1);
    top->addWidget(download);

    auto *slider = new QSlider(Qt::Horizontal, card);
    slider->setObjectName(QStringLiteral("playbackPosition"));
    connect(slider, &QSlider::sliderMoved, this, [this](int seconds) {
        if (QMediaPlayer *player = m_model.player())
            player->setPosition(qint64(seconds) * 1000);
    });
    column->addWidget(slider);

    QHBoxLayout *actions = nullptr;
    column->addWidget(bareRow(card, actions));
    auto *view = new QPushButton(m_model.text("Ver transcripción", "View transcript"), card);
    view->setObjectName(QStringLiteral("viewTranscript"));
    auto *transcribe = new QPushButton(m_model.text("Transcribir", "Transcribe"), card);
    transcribe->setObjectName(QStringLiteral("transcribe"));
    for (QPushButton *button : {view, transcribe}) {
        style::setFont(button, style::Text::Caption);
        actions->addWidget(button);
    }
    actions->addStretch(1);
    connect(view, &QPushButton::clicked, this,
            [this, recording] { m_model.showTranscript(recording, false); });
    connect(transcribe, &QPushButton::clicked, this,
            [this, recording] { m_model.showTranscript(recording, true); });
    return card;
}

void RecordingPanel::refreshPlayback()
{
    QMediaPlayer *player = m_model.player();
    // The player would be heard in the recording of the computer's output.
    const bool canPlay = !m_recorder.isRecording() && !m_recorder.isFinishing();
    bool sliderShown = false;
    for (int i = 0; i < m_cardList->count(); ++i) {
        QWidget *card = m_cardList->itemAt(i)->widget();
        const bool loaded = card->property("recordingId").toString() == m_model.playing();
        auto *play = card->findChild<QPushButton *>(QStringLiteral("playRecording"));
        const bool playing = loaded && m_model.isPlaying();
        play->setIcon(icon(playing ? QStringLiteral("pause-fill") : QStringLiteral("play-fill")));
        play->setAccessibleName(playing ? m_model.text("Pausa", "Pause")
                                        : m_model.text("Reproducir", "Play"));
        play->setEnabled(canPlay);
        auto *slider = card->findChild<QSlider *>(QStringLiteral("playbackPosition"));
        const bool showSlider = loaded && player;
        slider->setVisible(showSlider);
        if (showSlider && !slider->isSliderDown()) {
            sliderShown = true;
            slider->setRange(0, int(std::max<qint64>(player->duration() / 1000, 1)));
            slider->setValue(int(player->position() / 1000));
        }
    }
    if (sliderShown && !m_position->isActive())
        m_position->start();
    else if (!sliderShown)
        m_position->stop();
}

void RecordingPanel::refreshTranscript()
{
    m_transcript->setVisible(!m_model.transcript().isNull());
}

void RecordingPanel::confirmRecording()
{
    auto *box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("recordingConfirmation"));
    box->setWindowTitle(QStringLiteral("Quorvale"));
    box->setText(m_model.text("Grabar micrófono y audio del equipo",
                              "Record microphone and computer audio"));
    box->setInformativeText(m_model.text(
        "Informa a los participantes. Se capturará el sonido de otras aplicaciones; silencia las "
        "que no formen parte de la reunión.",
        "Let participants know. Audio from other apps will be captured; mute apps outside the "
        "meeting."));
    QPushButton *start = box->addButton(m_model.text("Iniciar grabación", "Start recording"),
                                        QMessageBox::AcceptRole);
    start->setObjectName(QStringLiteral("startRecording"));
    QPushButton *cancel =
        box->addButton(m_model.text("Cancelar", "Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelRecording"));
    box->setDefaultButton(start);
    box->setEscapeButton(cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPointer<QPushButton> starter(start);
    connect(box, &QMessageBox::buttonClicked, this, [this, starter](QAbstractButton *button) {
        if (button == starter)
            m_audio.record(m_pageID);
    });
    box->open();
}

QString RecordingPanel::chooseAudioFile()
{
    // Every audio type the system knows, by its file name patterns.
    QStringList patterns;
    const QMimeDatabase types;
    for (const QMimeType &type : types.allMimeTypes()) {
        if (type.name().startsWith(u"audio/"))
            patterns += type.globPatterns();
    }
    patterns.removeDuplicates();
    return QFileDialog::getOpenFileName(
        this, m_model.text("Importar audio", "Import audio"), QString(),
        m_model.text("Audio", "Audio") + QStringLiteral(" (") + patterns.join(u' ') + u')');
}

void RecordingPanel::importAudio()
{
    const QString file = m_openPanel ? m_openPanel() : chooseAudioFile();
    if (!file.isEmpty())
        m_audio.importFile(file, m_pageID);
}

} // namespace quorvale
