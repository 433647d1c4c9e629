#include "support/xdghome.h"
#include "views/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quorvale;
using namespace quorvale::test;

namespace {

// Runs program to its end: its exit code, or -1 when it did not end by itself.
int run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
               ? process.exitCode()
               : -1;
}

} // namespace

class CallbackTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void theChannelIsThisUsersOnly();
    void theDesktopHandsTheLinkOver_data();
    void theDesktopHandsTheLinkOver();

private:
    // A runtime folder, so a single-instance socket, of this run's own, inherited by every
    // client it starts.
    XdgHome m_home;
};

void CallbackTest::initTestCase()
{
    QVERIFY(m_home.isValid());
}

void CallbackTest::theChannelIsThisUsersOnly()
{
    // A socket file in the private runtime directory, never a name in the abstract namespace,
    // which any local account could reach.
    SingleInstance instance;
    QCOMPARE(SingleInstance::defaultName(),
             m_home.path() + QStringLiteral("/runtime/mx.qvl.quorvale.instance"));
    QVERIFY(instance.listen());
    struct stat st
    {};
    QCOMPARE(::lstat(QFile::encodeName(SingleInstance::defaultName()).constData(), &st), 0);
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_uid, ::geteuid());
    QCOMPARE(st.st_mode & 077u, 0u);
    QFile sockets(QStringLiteral("/proc/net/unix"));
    QVERIFY(sockets.open(QIODevice::ReadOnly));
    QVERIFY(!sockets.readAll().contains("@mx.qvl.quorvale"));
    QVERIFY(SingleInstance().forward({}));
    QVERIFY(!SingleInstance().listen()); // the live one keeps its name

    // A directory others may enter is refused rather than shared.
    QTemporaryDir open;
    QVERIFY(QFile::setPermissions(open.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ReadOther |
                                                   QFile::ExeOther));
    QVERIFY(!SingleInstance(open.filePath(QStringLiteral("instance"))).listen());
}

void CallbackTest::theDesktopHandsTheLinkOver_data()
{
    // The openers of GNOME (GIO), KDE (KIO) and of any other session (xdg-open's own).
    QTest::addColumn<QStringList>("opener");
    QTest::addColumn<QString>("folder");
    const QString spaced = QStringLiteral("Mis programas");
    for (const QStringList &opener : {QStringList{QStringLiteral("xdg-open")},
                                      QStringList{QStringLiteral("gio"), QStringLiteral("open")},
                                      QStringList{QStringLiteral("kde-open")}}) {
        const QByteArray name = opener.join(u' ').toUtf8();
        QTest::addRow("%s, as built", name.constData()) << opener << QString();
        QTest::addRow("%s, in a folder with a space", name.constData()) << opener << spaced;
    }
}

void CallbackTest::theDesktopHandsTheLinkOver()
{
    // A new user's bare X session: no desktop environment, so each opener reads the entry that
    // register-desktop wrote and runs its Exec= line itself.
    QFETCH(QStringList, opener);
    QFETCH(QString, folder);
    QTemporaryDir home;
    QString client = QStringLiteral(QUORVALE_CLIENT);
    if (!folder.isEmpty()) {
        QVERIFY(QDir(home.path()).mkdir(folder));
        QVERIFY(QFile::copy(client, home.filePath(folder + QStringLiteral("/quorvale"))));
        client = home.filePath(folder + QStringLiteral("/quorvale"));
    }
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path() + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0")); // xdg-open only asks if one is set
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QCOMPARE(run(QStringLiteral(QUORVALE_SOURCE_DIR "/scripts/register-desktop"), {client}, env),
             0);
    QCOMPARE(run(QStringLiteral("desktop-file-validate"),
                 {home.filePath(QStringLiteral("data/applications/mx.qvl.quorvale.desktop"))}, env),
             0);

    SingleInstance running;
    QVERIFY(running.listen());
    QSignalSpy received(&running, &SingleInstance::urlReceived);
    // Escapes that carry meaning in a query arrive as sent; KIO decodes the others (%20), which
    // the server's links never hold.
    const QString link = QStringLiteral("mx.qvl.quorvale://oauth/?state=s%2B1&code=c%3D");
    QCOMPARE(run(opener.first(), opener.mid(1) << link, env), 0);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 10000);
    QCOMPARE(received[0][0].toUrl(), QUrl(link, QUrl::StrictMode));
}

QTEST_GUILESS_MAIN(CallbackTest)
#include "tst_callback.moc"
