#include "playback.h"

#include "workspacemodel.h"

#include "files/jsontext.h"

#include <QAudioOutput>
#include <QCoroSignal>
#include <QDir>
#include <QFile>
#include <QMediaPlayer>
#include <QPointer>
#include <QUuid>

namespace quorvale {

namespace {

bool settled(QMediaPlayer::MediaStatus status)
{
    return status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia ||
           status == QMediaPlayer::BufferingMedia || status == QMediaPlayer::EndOfMedia ||
           status == QMediaPlayer::InvalidMedia;
}

} // namespace

Playback::Playback(WorkspaceModel &model)
    : m_model(model)
{}

Playback::~Playback()
{
    stop();
}

QString Playback::extension(std::string_view mimeType)
{
    if (mimeType == "audio/mpeg")
        return QStringLiteral("mp3");
    if (mimeType == "audio/wav")
        return QStringLiteral("wav");
    if (mimeType == "audio/webm")
        return QStringLiteral("webm");
    if (mimeType == "audio/ogg")
        return QStringLiteral("ogg");
    return QStringLiteral("m4a");
}

bool Playback::isPlaying() const
{
    return m_player && m_player->playbackState() == QMediaPlayer::PlayingState;
}

void Playback::play(const JSON &recording)
{
    const QString id = jsontext::text(recording.id());
    if (!m_playing.isEmpty() && m_playing == id) {
        if (isPlaying())
            m_player->pause();
        else if (m_player)
            m_player->play();
        emit changed();
        return;
    }
    WorkspaceModel *model = &m_model;
    Playback *self = this;
    model->run([self, recording]() -> QCoro::Task<> { co_await self->load(recording); });
}

QCoro::Task<> Playback::load(JSON recording)
{
    stop();
    const quint64 load = ++m_loads;
    QPointer<Playback> self(this);
    const QString file =
        QDir::temp().filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + u'.' +
                              extension(recording["mimeType"].stringValue()));
    co_await m_model.service().download(jsontext::text(recording["audioUrl"].stringValue()), file);
    if (!self || load != m_loads) {
        QFile::remove(file); // stopped, or another recording asked for, meanwhile
        co_return;
    }

    auto output = std::make_unique<QAudioOutput>();
    auto player = std::make_unique<QMediaPlayer>();
    player->setAudioOutput(output.get());
    player->setSource(QUrl::fromLocalFile(file));
    // The backend says asynchronously whether it can play the file.
    QMediaPlayer *waiting = player.get();
    while (!settled(waiting->mediaStatus()) && waiting->error() == QMediaPlayer::NoError) {
        const auto status =
            co_await qCoro(waiting, &QMediaPlayer::mediaStatusChanged, std::chrono::seconds(20));
        if (!self)
            co_return;
        if (!status)
            break;
    }
    if (!self || load != m_loads) {
        QFile::remove(file);
        co_return;
    }
    if (waiting->mediaStatus() == QMediaPlayer::InvalidMedia ||
        waiting->error() != QMediaPlayer::NoError || !settled(waiting->mediaStatus())) {
        player.reset();
        QFile::remove(file);
        throw ServiceError(0, m_model.text("Este formato no se puede reproducir aquí. Descarga el "
                                           "original para abrirlo con otro reproductor.",
                                           "This format cannot be played here. Download the "
                                           "original to use another player."));
    }
    connect(waiting, &QMediaPlayer::playbackStateChanged, this, &Playback::changed);
    m_output = std::move(output);
    m_player = std::move(player);
    m_file = file;
    m_playing = jsontext::text(recording.id());
    m_player->play();
    emit changed();
}

void Playback::stop()
{
    ++m_loads;
    const bool had = m_player || !m_playing.isEmpty();
    if (m_player)
        m_player->stop();
    m_player.reset();
    m_output.reset();
    m_playing.clear();
    if (!m_file.isEmpty()) {
        QFile::remove(m_file);
        m_file.clear();
    }
    if (had)
        emit changed();
}

void Playback::showTranscript(const JSON &recording, bool start)
{
    Playback *self = this;
    m_model.run([self, recording, start]() -> QCoro::Task<> {
        co_await self->transcript(recording, start);
    });
}

QCoro::Task<> Playback::transcript(JSON recording, bool start)
{
    QPointer<Playback> self(this);
    const quint64 session = m_model.m_session.number();
    const QString id = QString::fromLatin1(QUrl::toPercentEncoding(jsontext::text(recording.id())));
    if (start) {
        co_await m_model.save();
        if (!self)
            co_return;
        co_await m_model.service().json(QStringLiteral("/api/recordings/") + id +
                                            QStringLiteral("/transcribe"),
                                        "POST", JSON::object({}));
        if (!self)
            co_return;
    }
    JSON transcript = co_await m_model.service().json(
        QStringLiteral("/api/recordings/") + id + QStringLiteral("/transcript"), "GET");
    // A transcript of an ended sign-in is nobody's to show.
    if (self && m_model.m_session.number() == session)
        m_model.setTranscript(std::move(transcript));
}

} // namespace quorvale
