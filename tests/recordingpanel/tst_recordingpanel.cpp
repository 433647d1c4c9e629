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

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace quorvale;
using quorvale::test::errorOf;

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
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
    void initTestCase()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath("data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath("config")));
        QVERIFY2(m_sound.start(), qPrintable(m_sound.error()));
        QVERIFY(m_server.start());
        m_account = m_server.addAccount("recorder@example.test");
        m_model = test::serverModel(m_server, m_server.token(m_account));
        QCOMPARE(errorOf(m_model->connect()), QString());
        QVERIFY(m_model->approved());
        m_recorder = std::make_unique<MeetingRecorder>(makePulseCapture(m_sound.address()));
        m_audio = std::make_unique<MeetingAudio>(*m_model, *m_recorder);
    }

    void textsOfTheCards()
    {
        JSON recording = JSON::object();
        recording.set("name", JSON("Daily"));
        QCOMPARE(RecordingPanel::downloadName(recording), "Daily.m4a");
        recording.set("bytes", JSON(3.5 * 1048576));
        recording.set("mimeType", JSON("audio/ogg"));
        QCOMPARE(RecordingPanel::sizeText(recording), "3.5 MB");
        QCOMPARE(RecordingPanel::downloadName(recording), "Daily.ogg");

        QCOMPARE(TranscriptView::segmentTime(59.99), "00:59");
        QCOMPARE(TranscriptView::segmentTime(1e300),
                 TranscriptView::segmentTime(1e300)); // no crash
        QCOMPARE(RecordingPanel::elapsedText(3725), "1:02:05");

        QCOMPARE(MeetingAudio::contentType("/a/voice.flac"), "audio/mp4");

        // Names are cut at 180 characters as the eye counts them: a flag is one, not two.
        const QString flag = "\U0001F1F2\U0001F1FD";
        QString title;
        for (int i = 0; i < 200; ++i)
            title += flag;
        JSON workspace = JSON::object();
        JSON page = JSON::object();
        page.set("id", JSON("p"));
        page.set("title", jsontext::value(title));
        workspace.set("pages", JSON(JSON::Array{page}));
        QCOMPARE(MeetingAudio::recordingName(workspace, "p"), title.left(180 * 4));
        QCOMPARE(MeetingAudio::recordingName(workspace, "other"), "Reunión");
    }

    // The end-to-end run records through the window: the notice, sign-out held while recording,
    // the card and the transcript. Here, what it cannot see: levels, the marker, recovery.
    void recordStopAndSaveReachesTheServer()
    {
        const QString speech = m_dir.filePath("speech.wav");
        QVERIFY(run("espeak-ng", {"-v", "en-us+klatt", "-w", speech,
                                  "The budget meeting starts on Monday morning."}));
        const QString page = newMeeting("Budget review");
        QVERIFY(!page.isEmpty());
        RecordingPanel panel(*m_audio, page);
        panel.show();
        m_audio->record(page);
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->isRecording(), 10000);
        // The recording under way is not offered for recovery.
        QVERIFY(buttons(panel, "recoverAndUpload").isEmpty());

        // The microphone hears the speech; the computer plays nothing.
        std::unique_ptr<QProcess> player(m_sound.play(speech, "micsink"));
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->microphoneLevel() > 0.05f, 10000);
        QVERIFY(m_recorder->systemLevel() < 0.01f);
        QVERIFY(player->waitForFinished(30000) && player->exitCode() == 0);

        buttons(panel, "stopAndSave").first()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_recorder->isRecording() && !m_model->busy(), 60000);
        QCOMPARE(m_model->message(), QString());
        // The other side of the call was silent throughout: said at once, not found out later.
        QVERIFY(shownText(panel, "silentSystemWarning").startsWith(u"Los demás"));

        // The server has it, the marker holds the server's answer, nothing is pending.
        const JSON::Array stored = recordingsOf(page);
        QCOMPARE(stored.size(), std::size_t(1));
        QCOMPARE(m_model->recordings(), stored);
        QCOMPARE(jsontext::member(stored.front(), "name"), "Budget review");
        const QString directory = QFileInfo(m_recorder->pending()).absolutePath();
        const JSON marker =
            JSON::decode(test::readAll(directory + QStringLiteral("/uploaded.json")).toStdString());
        QCOMPARE(marker.id(), stored.front().id());
        QVERIFY(m_audio->pending().isEmpty());
    }

    void interruptedRecordingGoesOnceToItsOwnPage()
    {
        const QString recorded = newMeeting("Recorded here");
        const QString shown = newMeeting("Opened later");
        QVERIFY(!recorded.isEmpty() && !shown.isEmpty());
        const QStringList before = m_audio->pending();

        QProcess child;
        child.start(QStringLiteral(QUORVALE_RECORDER_CHILD),
                    {m_sound.address(), recorded, m_account});
        QVERIFY(child.waitForReadyRead(10000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("recording"));
        QStringList pending;
        QTRY_VERIFY_WITH_TIMEOUT((pending = m_audio->pending()).size() == before.size() + 1, 5000);
        pending.removeIf([&](const QString &path) { return before.contains(path); });
        const QString directory = pending.value(0);
        const QString toneFile = m_dir.filePath("tone.wav");
        QVERIFY(test::makeTone(toneFile, 0.1, 1.0, 1000, 0.1));
        std::unique_ptr<QProcess> tone(m_sound.play(toneFile, "micsink"));
        QVERIFY(tone->waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(directory + QStringLiteral("/microphone.json")),
                                 5000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(5000));

        // Offered on whichever meeting is open; a second click while the first runs sends nothing.
        RecordingPanel panel(*m_audio, shown);
        panel.show();
        const QList<QPushButton *> rows = buttons(panel, "recoverAndUpload");
        QCOMPARE(rows.size(), before.size() + 1);
        rows.last()->click();
        rows.last()->click();
        m_audio->recoverAndUpload(directory);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->busy(), 60000);
        QCOMPARE(m_model->message(), QString());
        QCOMPARE(recordingsOf(recorded).size(), std::size_t(1));
        QCOMPARE(recordingsOf(shown).size(), std::size_t(0));
        QVERIFY(QFile::exists(directory + QStringLiteral("/uploaded.json")));
        QVERIFY(!m_audio->pending().contains(directory));
        QCOMPARE(buttons(panel, "recoverAndUpload").size(), before.size());

        // Another account's recording: quietly left alone when recovered, refused when imported.
        const QString foreign = m_dir.filePath("foreign");
        QVERIFY(QDir().mkpath(foreign));
        QVERIFY(QFile::copy(directory + QStringLiteral("/meeting.m4a"),
                            foreign + QStringLiteral("/meeting.m4a")));
        QVERIFY(test::writeAll(foreign + QStringLiteral("/session.json"),
                               "{\"accountId\":\"someone-else\",\"pageId\":\"" + recorded.toUtf8() +
                                   "\"}"));
        m_audio->recoverAndUpload(foreign);
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(m_model->message(), QString());
        m_audio->importFile(foreign + QStringLiteral("/meeting.m4a"), shown);
        QTRY_VERIFY(!m_model->busy());
        QVERIFY(!m_model->message().isEmpty());
        m_model->setMessage(QString());
        QCOMPARE(recordingsOf(shown).size(), std::size_t(0));
        QCOMPARE(recordingsOf(recorded).size(), std::size_t(1));
    }

    void importedFilesAreTypedBoundedAndStreamed()
    {
        const QString page = newMeeting("Imports");
        QVERIFY(!page.isEmpty());
        RecordingPanel panel(*m_audio, page);
        QString chosen;
        panel.setOpenPanel([&] { return chosen; });
        panel.show();

        // An MP3 named in capitals, some megabytes long: typed by its extension, sent as it is,
        // with its progress shown as it goes, and no marker left anywhere.
        const QString voice = m_dir.filePath("Voice.MP3");
        QVERIFY(
            run("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                           "sine=frequency=440:duration=240", "-b:a", "192k", "-f", "mp3", voice}));
        qint64 seenSent = -1;
        bool shownWhileSending = false;
        connect(m_audio.get(), &MeetingAudio::transfersChanged, this, [&] {
            if (m_audio->transfers().empty())
                return;
            QVERIFY(m_audio->transfers().front().sent >= seenSent);
            seenSent = m_audio->transfers().front().sent;
            shownWhileSending |= panel.findChild<QWidget *>("uploadProgress")->isVisibleTo(&panel);
        });
        chosen = voice;
        buttons(panel, "importAudio").first()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->busy(), 60000);
        QCOMPARE(m_model->message(), QString());
        QCOMPARE(seenSent, QFileInfo(voice).size());
        QVERIFY(shownWhileSending);
        const JSON::Array stored = recordingsOf(page);
        QCOMPARE(stored.size(), std::size_t(1));
        QCOMPARE(jsontext::member(stored.front(), "mimeType"), "audio/mpeg");
        QCOMPARE(stored.front()["bytes"].numberValue(), double(QFileInfo(voice).size()));
        QCOMPARE(QDir(m_dir.path()).entryList({"uploaded.json"}), QStringList());

        // Past the limit it is refused before a byte is read or sent (the file is sparse: reading
        // it would take a while, sending it longer).
        const QString large = m_dir.filePath("large.m4a");
        {
            QFile file(large);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(MeetingAudio::sizeLimit + 1));
        }
        chosen = large;
        buttons(panel, "importAudio").first()->click();
        QTRY_VERIFY(!m_model->busy());
        QVERIFY(m_model->message().contains("250 MB"));
        m_model->setMessage(QString());
        QCOMPARE(recordingsOf(page).size(), std::size_t(1));
        QVERIFY(QFile::exists(large));

        // A cancelled chooser does nothing.
        chosen.clear();
        buttons(panel, "importAudio").first()->click();
        QVERIFY(!m_model->busy());
    }

    void aCaptureEndingOnItsOwnShowsAtOnce()
    {
        test::SoundServer own;
        QVERIFY2(own.start(), qPrintable(own.error()));
        MeetingRecorder recorder(makePulseCapture(own.address()));
        MeetingAudio audio(*m_model, recorder);
        const QString page = newMeeting("Cut short");
        RecordingPanel panel(audio, page);
        panel.show();
        audio.record(page);
        QTRY_VERIFY_WITH_TIMEOUT(recorder.isRecording(), 10000);
        own.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.isRecording(), 10000);
        QVERIFY(!buttons(panel, "recordMeeting").isEmpty());
        QCOMPARE(shownText(panel, "recorderError"), recorder.error());
        QVERIFY(!recorder.error().isEmpty());
    }

private:
    // A meeting page of the account, saved on the server.
    QString newMeeting(const QString &title)
    {
        m_model->newPage("document", true);
        const QString id = m_model->selection();
        m_model->rename(id.toStdString(), title);
        if (errorOf(m_model->save()) != QString())
            return {};
        return id;
    }

    JSON::Array recordingsOf(const QString &pageId)
    {
        const auto answer = test::finish(fetch(QStringLiteral("/api/recordings?pageId=") + pageId));
        return answer.ok() ? (*answer.value)["recordings"].arrayValue() : JSON::Array();
    }

    QCoro::Task<JSON> fetch(QString path)
    {
        co_return co_await m_model->service().json(path, "GET");
    }

    QTemporaryDir m_dir;
    test::ReferenceServer m_server;
    test::SoundServer m_sound{test::SoundServer::Kind::Shared};
    QString m_account;
    std::unique_ptr<WorkspaceModel> m_model;
    std::unique_ptr<MeetingRecorder> m_recorder;
    std::unique_ptr<MeetingAudio> m_audio;
};

QTEST_MAIN(RecordingPanelTest)
#include "tst_recordingpanel.moc"
