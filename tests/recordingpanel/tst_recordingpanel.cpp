// The recording panel as a user meets it: the real recorder on a PulseAudio daemon, the real
// server over TLS. Recording, stopping and saving, what an interrupted recording leaves behind,
// imported files, and the texts the panel computes.

#include "recorder/meetingrecorder.h"
#include "recordingpanel/meetingaudio.h"
#include "recordingpanel/recordingpanel.h"
#include "recordingpanel/transcriptview.h"
#include "support/audio.h"
#include "support/files.h"
#include "support/modeltesting.h"
#include "support/soundserver.h"

#include "files/jsontext.h"
#include "views/rootview.h"
#include "views/workspaceview.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace quorvale;
using quorvale::test::errorOf;

namespace {

const QString sentence =
    QStringLiteral("The quarterly budget meeting starts on Monday morning. Please bring the sales "
                   "report.");
const QStringList contentWords = {"budget", "meeting", "starts", "monday", "sales", "report"};

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60'000) && process.exitCode() == 0;
}

QList<QPushButton *> buttons(const QWidget &panel, const QString &name)
{
    QList<QPushButton *> found;
    for (QPushButton *button : panel.findChildren<QPushButton *>(name)) {
        if (button->isVisibleTo(&panel))
            found << button;
    }
    return found;
}

QString shownText(const QWidget &panel, const QString &name)
{
    const auto *label = panel.findChild<QLabel *>(name);
    return label && label->isVisibleTo(&panel) ? label->text() : QString();
}

} // namespace

class RecordingPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void textsOfTheCards();
    void recordStopAndSaveReachesTheServerAndItsTranscript();
    void interruptedRecordingGoesOnceToItsOwnPage();
    void importedFilesAreTypedBoundedAndStreamed();
    void aCaptureEndingOnItsOwnShowsAtOnce();

private:
    // A meeting page of the account, saved on the server.
    QString newMeeting(const QString &title);
    JSON::Array recordingsOf(const QString &pageId);
    QCoro::Task<JSON> fetch(QString path);

    QTemporaryDir m_dir;
    test::ReferenceServer m_server;
    test::SoundServer m_sound{test::SoundServer::Kind::Shared};
    QString m_account;
    std::unique_ptr<WorkspaceModel> m_model;
    std::unique_ptr<MeetingRecorder> m_recorder;
    std::unique_ptr<MeetingAudio> m_audio;
};

void RecordingPanelTest::initTestCase()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    QVERIFY2(m_sound.start(), qPrintable(m_sound.error()));
    QVERIFY(m_server.start());
    m_account = m_server.addAccount(QStringLiteral("recorder@example.test"));
    m_model = test::serverModel(m_server, m_server.token(m_account));
    QCOMPARE(errorOf(m_model->connect()), QString());
    QVERIFY(m_model->approved());
    m_recorder = std::make_unique<MeetingRecorder>(makePulseCapture(m_sound.address()));
    m_audio = std::make_unique<MeetingAudio>(*m_model, *m_recorder);
}

QString RecordingPanelTest::newMeeting(const QString &title)
{
    m_model->newPage(QStringLiteral("document"), true);
    const QString id = m_model->selection();
    m_model->rename(id.toStdString(), title);
    if (errorOf(m_model->save()) != QString())
        return {};
    return id;
}

QCoro::Task<JSON> RecordingPanelTest::fetch(QString path)
{
    co_return co_await m_model->service().json(path, "GET");
}

JSON::Array RecordingPanelTest::recordingsOf(const QString &pageId)
{
    const auto answer = test::finish(fetch(QStringLiteral("/api/recordings?pageId=") + pageId));
    return answer.ok() ? (*answer.value)["recordings"].arrayValue() : JSON::Array();
}

void RecordingPanelTest::textsOfTheCards()
{
    JSON recording = JSON::object();
    recording.set("name", JSON("Daily"));
    QCOMPARE(RecordingPanel::sizeText(recording), QStringLiteral("0.0 MB"));
    QCOMPARE(RecordingPanel::downloadName(recording), QStringLiteral("Daily.m4a"));
    recording.set("bytes", JSON(3.5 * 1048576));
    recording.set("mimeType", JSON("audio/ogg"));
    QCOMPARE(RecordingPanel::sizeText(recording), QStringLiteral("3.5 MB"));
    QCOMPARE(RecordingPanel::downloadName(recording), QStringLiteral("Daily.ogg"));

    QCOMPARE(TranscriptView::segmentTime(59.99), QStringLiteral("00:59"));
    QCOMPARE(TranscriptView::segmentTime(3725), QStringLiteral("62:05"));
    QCOMPARE(TranscriptView::segmentTime(1e300), TranscriptView::segmentTime(1e300)); // no crash
    QCOMPARE(RecordingPanel::elapsedText(3725), QStringLiteral("1:02:05"));

    QCOMPARE(MeetingAudio::contentType(QStringLiteral("/a/Voice.MP3")),
             QStringLiteral("audio/mpeg"));
    QCOMPARE(MeetingAudio::contentType(QStringLiteral("/a/voice.flac")),
             QStringLiteral("audio/mp4"));

    // Names are cut at 180 characters as the eye counts them: a flag is one, not two.
    const QString flag = QStringLiteral("\U0001F1F2\U0001F1FD");
    QString title;
    for (int i = 0; i < 200; ++i)
        title += flag;
    JSON workspace = JSON::object();
    JSON page = JSON::object();
    page.set("id", JSON("p"));
    page.set("title", jsontext::value(title));
    workspace.set("pages", JSON(JSON::Array{page}));
    QCOMPARE(MeetingAudio::recordingName(workspace, QStringLiteral("p")), title.left(180 * 4));
    QCOMPARE(MeetingAudio::recordingName(workspace, QStringLiteral("other")),
             QStringLiteral("Reunión"));
}

void RecordingPanelTest::recordStopAndSaveReachesTheServerAndItsTranscript()
{
    const QString speech = m_dir.filePath(QStringLiteral("speech.wav"));
    QVERIFY(run(QStringLiteral("espeak-ng"),
                {"-v", "en-us+klatt", "-s", "175", "-p", "50", "-w", speech, sentence}));
    const QString page = newMeeting(QStringLiteral("Budget review"));
    QVERIFY(!page.isEmpty());
    RecordingPanel panel(*m_audio, page);
    RootView root(*m_model, nullptr, m_audio.get());
    panel.show();
    QCOMPARE(shownText(panel, QStringLiteral("noRecordings")),
             QStringLiteral("Todavía no hay audios en esta reunión."));

    // Recording starts only once the notice is confirmed.
    buttons(panel, QStringLiteral("recordMeeting")).first()->click();
    auto *notice = panel.findChild<QMessageBox *>(QStringLiteral("recordingConfirmation"));
    QVERIFY(notice);
    notice->findChild<QPushButton *>(QStringLiteral("startRecording"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_recorder->isRecording(), 10000);
    QVERIFY(buttons(panel, QStringLiteral("recordMeeting")).isEmpty());
    QVERIFY(!buttons(panel, QStringLiteral("stopAndSave")).isEmpty());
    // The recording under way is not offered for recovery.
    QVERIFY(buttons(panel, QStringLiteral("recoverAndUpload")).isEmpty());

    // Nobody signs out of a running recording.
    emit root.findChild<WorkspaceView *>()->signOutRequested();
    auto *signOut = root.findChild<QPushButton *>(QStringLiteral("confirmSignOut"));
    QVERIFY(signOut && !signOut->isEnabled());

    // The microphone hears the speech; the computer plays nothing.
    std::unique_ptr<QProcess> player(m_sound.play(speech, QStringLiteral("micsink")));
    QTRY_VERIFY_WITH_TIMEOUT(m_recorder->microphoneLevel() > 0.05f, 10000);
    QVERIFY(m_recorder->systemLevel() < 0.01f);
    QVERIFY(player->waitForFinished(30000) && player->exitCode() == 0);

    buttons(panel, QStringLiteral("stopAndSave")).first()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorder->isRecording() && !m_model->busy(), 60000);
    QCOMPARE(m_model->message(), QString());
    QVERIFY(signOut->isEnabled());
    // The other side of the call was silent throughout: said at once, not found out later.
    QVERIFY(shownText(panel, QStringLiteral("silentSystemWarning")).startsWith(u"Los demás"));

    // The server has it, the marker holds the server's answer, nothing is pending.
    const JSON::Array stored = recordingsOf(page);
    QCOMPARE(stored.size(), std::size_t(1));
    QCOMPARE(m_model->recordings(), stored);
    QCOMPARE(jsontext::member(stored.front(), "name"), QStringLiteral("Budget review"));
    const QString directory = QFileInfo(m_recorder->pending()).absolutePath();
    const JSON marker =
        JSON::decode(test::readAll(directory + QStringLiteral("/uploaded.json")).toStdString());
    QCOMPARE(marker.id(), stored.front().id());
    QVERIFY(m_audio->pending().isEmpty());
    QCOMPARE(buttons(panel, QStringLiteral("playRecording")).size(), 1);

    // The speech comes back in the transcript.
    buttons(panel, QStringLiteral("transcribe")).first()->click();
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (jsontext::member(m_model->transcript(), "status") == u"completed" ||
                jsontext::member(m_model->transcript(), "status") == u"failed")
                return true;
            if (!m_model->busy())
                buttons(panel, QStringLiteral("viewTranscript")).first()->click();
            return false;
        }(),
        120000);
    QString heard;
    for (const QLabel *label : panel.findChildren<QLabel *>())
        heard += label->text().toLower() + u' ';
    int words = 0;
    for (const QString &word : contentWords)
        words += heard.contains(word);
    QVERIFY2(words >= 2, qPrintable(heard));
}

void RecordingPanelTest::interruptedRecordingGoesOnceToItsOwnPage()
{
    const QString recorded = newMeeting(QStringLiteral("Recorded here"));
    const QString shown = newMeeting(QStringLiteral("Opened later"));
    QVERIFY(!recorded.isEmpty() && !shown.isEmpty());
    const QStringList before = m_audio->pending();

    QProcess child;
    child.start(QStringLiteral(QUORVALE_RECORDER_CHILD), {m_sound.address(), recorded, m_account});
    QVERIFY(child.waitForReadyRead(10000));
    QCOMPARE(child.readLine().trimmed(), QByteArray("recording"));
    QStringList pending;
    QTRY_VERIFY_WITH_TIMEOUT((pending = m_audio->pending()).size() == before.size() + 1, 5000);
    const QString directory = [&] {
        for (const QString &path : pending) {
            if (!before.contains(path))
                return path;
        }
        return QString();
    }();
    const QString toneFile = m_dir.filePath(QStringLiteral("tone.wav"));
    QVERIFY(test::makeTone(toneFile, 0.1, 1.0, 1000, 0.1));
    std::unique_ptr<QProcess> tone(m_sound.play(toneFile, QStringLiteral("micsink")));
    QVERIFY(tone->waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(directory + QStringLiteral("/microphone.json")), 5000);
    ::kill(pid_t(child.processId()), SIGKILL);
    QVERIFY(child.waitForFinished(5000));

    // Offered on whichever meeting is open; a second click while the first runs sends nothing.
    RecordingPanel panel(*m_audio, shown);
    panel.show();
    const QList<QPushButton *> rows = buttons(panel, QStringLiteral("recoverAndUpload"));
    QCOMPARE(rows.size(), pending.size());
    rows.last()->click();
    rows.last()->click();
    m_audio->recoverAndUpload(directory);
    QTRY_VERIFY_WITH_TIMEOUT(!m_model->busy(), 60000);
    QCOMPARE(m_model->message(), QString());
    QCOMPARE(recordingsOf(recorded).size(), std::size_t(1));
    QCOMPARE(recordingsOf(shown).size(), std::size_t(0));
    QVERIFY(QFile::exists(directory + QStringLiteral("/uploaded.json")));
    QVERIFY(!m_audio->pending().contains(directory));
    QCOMPARE(buttons(panel, QStringLiteral("recoverAndUpload")).size(), before.size());

    // Another account's recording: quietly left alone when recovered, refused when imported.
    const QString foreign = m_dir.filePath(QStringLiteral("foreign"));
    QVERIFY(QDir().mkpath(foreign));
    QVERIFY(QFile::copy(directory + QStringLiteral("/meeting.m4a"),
                        foreign + QStringLiteral("/meeting.m4a")));
    QVERIFY(
        test::writeAll(foreign + QStringLiteral("/session.json"),
                       R"({"accountId":"someone-else","pageId":")" + recorded.toUtf8() + "\"}"));
    m_audio->recoverAndUpload(foreign);
    QTRY_VERIFY(!m_model->busy());
    QCOMPARE(m_model->message(), QString());
    m_audio->importFile(foreign + QStringLiteral("/meeting.m4a"), shown);
    QTRY_VERIFY(!m_model->busy());
    QCOMPARE(m_model->message(), QStringLiteral("El audio pertenece a otra cuenta."));
    m_model->setMessage(QString());
    QCOMPARE(recordingsOf(shown).size(), std::size_t(0));
    QCOMPARE(recordingsOf(recorded).size(), std::size_t(1));
}

void RecordingPanelTest::importedFilesAreTypedBoundedAndStreamed()
{
    const QString page = newMeeting(QStringLiteral("Imports"));
    QVERIFY(!page.isEmpty());
    RecordingPanel panel(*m_audio, page);
    QString chosen;
    panel.setOpenPanel([&] { return chosen; });
    panel.show();

    // An MP3 named in capitals, some megabytes long: typed by its extension, sent as it is, with
    // its progress shown as it goes, and no marker left anywhere.
    const QString voice = m_dir.filePath(QStringLiteral("Voice.MP3"));
    QVERIFY(run(QStringLiteral("ffmpeg"),
                {"-loglevel", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=240",
                 "-b:a", "192k", "-f", "mp3", voice}));
    QSignalSpy progress(m_audio.get(), &MeetingAudio::transfersChanged);
    qint64 seenSent = -1;
    bool shownWhileSending = false;
    connect(m_audio.get(), &MeetingAudio::transfersChanged, this, [&] {
        if (m_audio->transfers().empty())
            return;
        QVERIFY(m_audio->transfers().front().sent >= seenSent);
        seenSent = m_audio->transfers().front().sent;
        shownWhileSending |=
            panel.findChild<QWidget *>(QStringLiteral("uploadProgress"))->isVisibleTo(&panel);
    });
    chosen = voice;
    buttons(panel, QStringLiteral("importAudio")).first()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_model->busy(), 60000);
    QCOMPARE(m_model->message(), QString());
    QCOMPARE(seenSent, QFileInfo(voice).size());
    QVERIFY(shownWhileSending);
    const JSON::Array stored = recordingsOf(page);
    QCOMPARE(stored.size(), std::size_t(1));
    QCOMPARE(jsontext::member(stored.front(), "mimeType"), QStringLiteral("audio/mpeg"));
    QCOMPARE(stored.front()["bytes"].numberValue(), double(QFileInfo(voice).size()));
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("uploaded.json")}), QStringList());

    // Past the limit it is refused before a byte is read or sent (the file is sparse: reading
    // it would take a while, sending it longer).
    const QString large = m_dir.filePath(QStringLiteral("large.m4a"));
    {
        QFile file(large);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(MeetingAudio::sizeLimit + 1));
    }
    m_model->setLanguage(QStringLiteral("en"));
    chosen = large;
    buttons(panel, QStringLiteral("importAudio")).first()->click();
    QTRY_VERIFY(!m_model->busy());
    QCOMPARE(m_model->message(), QStringLiteral("The audio exceeds 250 MB. The file is kept on "
                                                "your computer so you can split it."));
    m_model->setMessage(QString());
    m_model->setLanguage(QStringLiteral("es"));
    QCOMPARE(recordingsOf(page).size(), std::size_t(1));
    QVERIFY(QFile::exists(large));

    // A cancelled chooser does nothing.
    chosen.clear();
    buttons(panel, QStringLiteral("importAudio")).first()->click();
    QVERIFY(!m_model->busy());
}

void RecordingPanelTest::aCaptureEndingOnItsOwnShowsAtOnce()
{
    test::SoundServer own;
    QVERIFY2(own.start(), qPrintable(own.error()));
    MeetingRecorder recorder(makePulseCapture(own.address()));
    MeetingAudio audio(*m_model, recorder);
    const QString page = newMeeting(QStringLiteral("Cut short"));
    RecordingPanel panel(audio, page);
    panel.show();
    audio.record(page);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.isRecording(), 10000);
    own.kill();
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.isRecording(), 10000);
    QVERIFY(!buttons(panel, QStringLiteral("recordMeeting")).isEmpty());
    QCOMPARE(shownText(panel, QStringLiteral("recorderError")), recorder.error());
    QVERIFY(!recorder.error().isEmpty());
}

QTEST_MAIN(RecordingPanelTest)
#include "tst_recordingpanel.moc"
