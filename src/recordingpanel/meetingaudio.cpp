#include "recordingpanel/meetingaudio.h"

#include "files/durablefile.h"
#include "files/finally.h"
#include "files/jsontext.h"
#include "model/workspacemodel.h"
#include "recorder/meetingrecorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTextBoundaryFinder>
#include <QUrl>

#include <functional>

namespace quorvale {

namespace {

const QString recorderFileName = QStringLiteral("meeting.m4a");
const QString sessionFileName = QStringLiteral("session.json");
constexpr int nameLimit = 180;

JSON readSession(const QString &directory)
{
    const QString path = directory + u'/' + sessionFileName;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("No se pudo leer %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    return JSON::decode(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

bool isRecorderFile(const QFileInfo &file)
{
    return file.fileName() == recorderFileName &&
           QFileInfo::exists(file.absolutePath() + u'/' + sessionFileName);
}

QString queryItem(const char *key, const QString &value)
{
    return QString::fromLatin1(key) + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

MeetingAudio::MeetingAudio(WorkspaceModel &model, MeetingRecorder &recorder, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_recorder(recorder)
{
    m_recorder.setLanguage(m_model.language());
    connect(&m_model, &WorkspaceModel::languageChanged, this,
            [this] { m_recorder.setLanguage(m_model.language()); });
    connect(&m_recorder, &MeetingRecorder::isRecordingChanged, this, &MeetingAudio::pendingChanged);
}

QStringList MeetingAudio::pending() const
{
    QStringList pending = MeetingRecorder::recoverable(jsontext::text(m_model.account().id()));
    // The recording being made, or being stopped and sent, is not left over from anything.
    if (m_recorder.isRecording() || m_recorder.isFinishing() || m_stopping)
        pending.removeAll(m_recorder.directory());
    return pending;
}

QString MeetingAudio::text(const char *spanish, const char *english) const
{
    return m_model.text(spanish, english);
}

void MeetingAudio::record(const QString &pageID)
{
    const QString account = jsontext::text(m_model.account().id());
    m_model.run([this, pageID, account]() -> QCoro::Task<> {
        co_await m_model.save();
        // The player would be heard through the output being recorded.
        m_model.stopPlayback();
        co_await m_recorder.start(pageID, account);
    });
}

void MeetingAudio::stopAndSave()
{
    QPointer<MeetingAudio> self(this);
    m_stopping = true;
    m_model.run([this, self]() -> QCoro::Task<> {
        const Finally stopped([self] {
            if (MeetingAudio *audio = self.data()) {
                audio->m_stopping = false;
                emit audio->pendingChanged();
            }
        });
        const QString mixed = co_await m_recorder.stop();
        co_await upload(mixed, m_recorder.pageID());
    });
}

void MeetingAudio::recoverAndUpload(const QString &directory)
{
    if (m_busyDirectories.contains(directory))
        return;
    m_busyDirectories.append(directory);
    QPointer<MeetingAudio> self(this);
    m_model.run([this, self, directory]() -> QCoro::Task<> {
        const Finally release([self, directory] {
            if (MeetingAudio *audio = self.data())
                audio->m_busyDirectories.removeAll(directory);
        });
        const JSON session = readSession(directory);
        if (jsontext::member(session, "accountId") != jsontext::text(m_model.account().id()))
            co_return;
        const Recovery recovered =
            co_await MeetingRecorder::recoverReporting(directory, m_model.language());
        // Named first: a temporary handed to a coroutine inside co_await is destroyed twice by
        // GCC 12.
        const QString pageID = jsontext::member(session, "pageId");
        co_await upload(recovered.path, pageID);
        if (!recovered.notice.isEmpty())
            m_model.setMessage(recovered.notice);
    });
}

void MeetingAudio::importFile(const QString &file, const QString &pageID)
{
    m_model.run([this, file, pageID]() -> QCoro::Task<> {
        co_await m_model.save();
        co_await upload(file, pageID);
    });
}

QCoro::Task<> MeetingAudio::upload(QString file, QString pageID)
{
    const QFileInfo info(file);
    const QString directory = info.absolutePath();
    const bool recorderFile = isRecorderFile(info);
    if (recorderFile) {
        const JSON session = readSession(directory);
        if (jsontext::member(session, "accountId") != jsontext::text(m_model.account().id()))
            throw ServiceError(0, text("El audio pertenece a otra cuenta.",
                                       "This audio belongs to another account."));
    }
    // By its size on disk: a file too large is never read.
    if (!info.isFile())
        throw FileError(QStringLiteral("No se pudo leer %1.").arg(file));
    if (info.size() > sizeLimit)
        throw ServiceError(
            0, text("El audio supera 250 MB. Conservamos el archivo en tu equipo para dividirlo.",
                    "The audio exceeds 250 MB. The file is kept on your computer so you can "
                    "split it."));

    QStringList query;
    if (!pageID.isEmpty())
        query << queryItem("pageId", pageID);
    if (const QString name = recordingName(m_model.workspace(), pageID); !name.isEmpty())
        query << queryItem("name", name);
    if (recorderFile)
        query << queryItem("uploadId", QDir(directory).dirName());

    const QString path = QStringLiteral("/api/recordings?") + query.join(u'&');
    const QByteArray response = co_await send(file, pageID, path);
    if (recorderFile) {
        durable::writeFileAtomically(directory + QStringLiteral("/uploaded.json"), response);
        emit pendingChanged();
    }
    co_await m_model.recordingUploaded(pageID);
}

QCoro::Task<QByteArray> MeetingAudio::send(QString file, QString pageID, QString path)
{
    QPointer<MeetingAudio> self(this);
    m_transfers.push_back({file, pageID, 0, QFileInfo(file).size()});
    emit transfersChanged();
    const Finally finished([self, file] {
        if (MeetingAudio *audio = self.data())
            audio->endTransfer(file);
    });
    const QString type = contentType(file);
    std::function<void(qint64, qint64)> progress = [self, file](qint64 sent, qint64 total) {
        if (self)
            self->setProgress(file, sent, total);
    };
    co_return co_await m_model.service().upload(path, file, type, std::move(progress));
}

void MeetingAudio::endTransfer(const QString &file)
{
    for (std::size_t i = 0; i < m_transfers.size(); ++i) {
        if (m_transfers[i].file == file) {
            m_transfers.erase(m_transfers.begin() + std::ptrdiff_t(i));
            break;
        }
    }
    emit transfersChanged();
}

void MeetingAudio::setProgress(const QString &file, qint64 sent, qint64 total)
{
    for (Transfer &transfer : m_transfers) {
        if (transfer.file == file) {
            transfer.sent = sent;
            if (total > 0)
                transfer.total = total;
        }
    }
    emit transfersChanged();
}

QString MeetingAudio::contentType(const QString &file)
{
    const QString extension = QFileInfo(file).suffix().toLower();
    if (extension == u"mp3")
        return QStringLiteral("audio/mpeg");
    if (extension == u"wav")
        return QStringLiteral("audio/wav");
    if (extension == u"webm")
        return QStringLiteral("audio/webm");
    if (extension == u"ogg")
        return QStringLiteral("audio/ogg");
    return QStringLiteral("audio/mp4");
}

QString MeetingAudio::recordingName(const JSON &workspace, const QString &pageID)
{
    const std::string id = pageID.toStdString();
    QString title = QStringLiteral("Reunión");
    const JSON &pages = workspace["pages"];
    if (pages.isArray()) {
        for (const JSON &page : pages.arrayValue()) {
            if (page.isObject() && page["id"].isString() && page["id"].stringValue() == id) {
                title = jsontext::member(page, "title");
                break;
            }
        }
    }
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, title);
    int count = 0;
    while (graphemes.toNextBoundary() != -1) {
        if (++count == nameLimit)
            return title.left(graphemes.position());
    }
    return title;
}

} // namespace quorvale
