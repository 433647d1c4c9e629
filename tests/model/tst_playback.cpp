// Playing a page's recordings from the real server: each format the server stores plays from a
// temporary file that lives exactly as long as its player; a file that cannot be played says
// so and leaves nothing behind; transcripts come from the server.

#include "support/modeltesting.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using quorvale::JSON;
using quorvale::WorkspaceModel;
using quorvale::test::errorOf;
using quorvale::test::ReferenceServer;

namespace {

// Temporary files named by an upper-case UUID: the player's.
QStringList playerFiles()
{
    static const QRegularExpression name("^[0-9A-F-]{36}\\.[a-z0-9]+$");
    return QDir::temp().entryList(QDir::Files).filter(name);
}

QCoro::Task<> upload(quorvale::Service *service, QByteArray bytes, QString type, QString name)
{
    co_await service->request(QStringLiteral("/api/recordings?pageId=meeting&name=") + name, "POST",
                              std::move(bytes), type);
}

} // namespace

class PlaybackTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Drafts and settings of this test's own; the sound server is the run's.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath("data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath("config")));
        QVERIFY(m_server.start());
        const QString id = m_server.addAccount("player@example.test");
        m_model = quorvale::test::serverModel(m_server, m_server.token(id));
        QCOMPARE(errorOf(m_model->connect()), QString());
    }

    void everyStoredFormatPlaysFromAFileAsLongAsItsPlayer_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("type");
        // What the recorder makes, an import's usual format, and one the player names oddly.
        for (const char *type : {"audio/mp4 m4a", "audio/mpeg mp3", "audio/webm webm"}) {
            const QStringList parts = QString::fromLatin1(type).split(u' ');
            QTest::newRow(type) << parts[1] << parts[0];
        }
    }

    void everyStoredFormatPlaysFromAFileAsLongAsItsPlayer()
    {
        QFETCH(QString, extension);
        QFETCH(QString, type);
        const QString source = m_dir.filePath(QStringLiteral("tone.") + extension);
        const QStringList tone{"-loglevel", "error", "-y", "-f", "lavfi", "-i", "sine=duration=3"};
        QCOMPARE(QProcess::execute("ffmpeg", tone + QStringList{source}), 0);
        QFile file(source);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(errorOf(upload(&m_model->service(), file.readAll(), type, extension)), QString());
        m_model->select("meeting");
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->recordings().empty(), 10000);
        const JSON recording = m_model->recordings().back();

        const QStringList before = playerFiles();
        m_model->play(recording);
        QTRY_VERIFY_WITH_TIMEOUT(m_model->isPlaying(), 20000);
        QCOMPARE(m_model->playing().toStdString(), std::string(recording.id()));
        QCOMPARE(m_model->message(), QString());
        const QStringList playing = playerFiles();
        QCOMPARE(playing.size(), before.size() + 1);

        // The same recording pauses and resumes without another download.
        m_model->play(recording);
        QTRY_VERIFY(!m_model->isPlaying());
        m_model->play(recording);
        QTRY_VERIFY(m_model->isPlaying());
        QCOMPARE(playerFiles(), playing);

        // Another page stops it, and its file goes with it.
        m_model->select("@meetings");
        QVERIFY(m_model->playing().isEmpty());
        QCOMPARE(playerFiles(), before);
    }

    void anUnplayableFileSaysSoAndLeavesNothing()
    {
        QCOMPARE(errorOf(upload(&m_model->service(), QByteArray(4096, 'x'), "audio/mpeg", "roto")),
                 QString());
        m_model->select("meeting");
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->recordings().empty(), 10000);
        const QStringList before = playerFiles();
        m_model->play(m_model->recordings().back());
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->message().isEmpty(), 30000);
        QVERIFY(m_model->playing().isEmpty());
        QCOMPARE(playerFiles(), before);
        m_model->setMessage(QString());
    }

private:
    QTemporaryDir m_dir;
    ReferenceServer m_server;
    std::unique_ptr<WorkspaceModel> m_model;
};

QTEST_MAIN(PlaybackTest)
#include "tst_playback.moc"
