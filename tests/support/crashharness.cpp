#include "crashharness.h"

#include "service/secretstore.h"
#include "service/service.h"
#include "service/vault.h"
#include "support/audio.h"
#include "support/httpsclient.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace quorvale::test {

namespace {

constexpr auto page = "7d1c2a90-3b4e-4f5a-8c6d-1e2f3a4b5c6d";
const QString pageId = QString::fromLatin1(page);

} // namespace

CrashHarness::~CrashHarness()
{
    m_process.kill();
    m_process.waitForFinished();
    if (auto keyring = SecretStore::system())
        Vault::clear(*keyring);
}

QString CrashHarness::prepare()
{
    const QByteArray given = qgetenv("QUORVALE_CRASH_SEED");
    const unsigned seed = given.isEmpty() ? std::random_device()() : given.toUInt();
    std::printf("crash seed %u (QUORVALE_CRASH_SEED=%u replays it)\n", seed, seed);
    std::fflush(stdout);
    m_random.seed(seed);

    const QDir root(m_root.path());
    for (const char *dir : {"data/Quorvale/Drafts", "config", "cache", "runtime"})
        root.mkpath(QLatin1String(dir));
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // What a crash in the middle of a draft's write leaves.
    QFile(root.filePath(QStringLiteral("data/Quorvale/Drafts/.quorvale-Zq81xA")))
        .open(QIODevice::WriteOnly);

    m_server =
        std::make_unique<ReferenceServer>(root.filePath(QStringLiteral("data/quorvale-server")));
    m_server->setPort(Service::defaultOrigin().port());
    const QString id =
        m_server->start() ? m_server->addAccount(QStringLiteral("crash@example.test")) : QString();
    auto keyring = SecretStore::system();
    if (id.isEmpty() || !keyring)
        return QStringLiteral("no server on the client's port, or no keyring");
    m_token = m_server->token(id);
    Vault::save(*keyring, m_token);
    const JSON workspace = JSON::decode(
        R"({"schemaVersion": 1, "name": "Crash", "activePageId": "", "theme": "light", "pages": [
        {"id": ")" +
        std::string(page) + R"(", "title": "Reunión", "kind": "document",
         "meeting": true, "blocks": [{"id": "b1", "type": "text", "text": ""}]}]})");
    const JSON body = JSON::object({{"revision", 0}, {"workspace", workspace}});
    if (HttpsClient(*m_server).put("/api/workspace", m_token.toStdString(), body).status != 200)
        return QStringLiteral("the workspace was refused");
    return {};
}

QJsonObject CrashHarness::send(const QString &command)
{
    m_driver.write(command);
    if (m_killAfter >= 0 && m_clock.elapsed() >= m_killAfter) {
        m_process.kill();
        m_process.waitForFinished();
        throw Killed();
    }
    return m_driver.answer();
}

bool CrashHarness::visible(const char *widget)
{
    return send(QStringLiteral("widget ") + QLatin1String(widget))[QStringLiteral("visible")]
        .toBool();
}

bool CrashHarness::waitFor(const std::function<bool()> &ready)
{
    // The automation answers between the client's events: asking again is the await.
    for (int asked = 0; asked < 3000; ++asked) {
        if (ready())
            return true;
        QTest::qWait(asked < 100 ? 0 : 10);
    }
    return false;
}

void CrashHarness::launch()
{
    const QString driver = m_root.filePath(QStringLiteral("driver"));
    QFile::remove(driver); // the killed client's socket
    QProcessEnvironment env = clientEnvironment(m_root.path(), m_root.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(m_client, QStringList());
    m_process.waitForStarted();
    m_driver.connectTo(driver);
}

void CrashHarness::check(CrashTally &tally)
{
    const auto note = [&](int &count, int n, const QString &what) {
        count += n;
        tally.faults << QStringLiteral("kill %1: %2").arg(tally.kills).arg(what);
    };
    if (!waitFor([&] {
            const QJsonObject s = send(QStringLiteral("state"));
            return s[QStringLiteral("draftOpened")].toBool() && !s[QStringLiteral("busy")].toBool();
        })) {
        note(tally.leftovers, 1, QStringLiteral("the workspace never opened"));
        return;
    }
    const QString message = state("message").toString();
    // A start that found something it could not use says so.
    if (!message.isEmpty() && !message.startsWith(QStringLiteral("Recuperamos tu borrador")))
        note(tally.leftovers, 1, message);
    send(QStringLiteral("select ") + pageId);
    if (send(QStringLiteral("widget pageEdit"))[QStringLiteral("text")].toString() ==
        QStringLiteral("Editar"))
        send(QStringLiteral("click pageEdit"));
    const QString text =
        send(QStringLiteral("widget blockText"))[QStringLiteral("text")].toString();
    const auto same = std::mismatch(m_kept.begin(), m_kept.end(), text.begin(), text.end()).first;
    if (same != m_kept.end() || (!text.isEmpty() && !m_typed.startsWith(text)))
        note(tally.lostKeystrokes, int(m_kept.end() - same),
             QStringLiteral("kept \"%1\", found \"%2\"").arg(m_kept, text));
    m_typed = m_kept = text;

    // Interrupted recordings come back as pending rows; each must go up.
    while (visible("recoverAndUpload")) {
        send(QStringLiteral("click recoverAndUpload"));
        waitFor([&] { return !state("busy").toBool(); });
        if (const QString now = state("message").toString(); now != message) {
            // It stays offered at every start: counted once.
            if (!std::exchange(m_stuck, true))
                note(tally.unrecoverableRecordings, 1, now);
            break;
        }
    }
    const std::string path = "/api/recordings?pageId=" + std::string(page);
    const auto onServer =
        int(HttpsClient(*m_server).get(path, m_token.toStdString()).json()["recordings"].size());
    if (onServer < m_stopped)
        note(tally.unrecoverableRecordings, m_stopped - onServer, QStringLiteral("not uploaded"));
    m_stopped = onServer;

    static const QRegularExpression temporary(
        QStringLiteral("^\\.(quorvale-|.+\\.)[A-Za-z0-9]{6}$"));
    for (QDirIterator files(m_root.filePath(QStringLiteral("data/Quorvale")),
                            QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         files.hasNext();) {
        if (temporary.match(files.nextFileInfo().fileName()).hasMatch())
            note(tally.leftovers, 1, files.filePath());
    }
}

void CrashHarness::append(int keys)
{
    QString chunk;
    for (int key = 0; key < keys; ++key)
        chunk += QChar(u'a' + char16_t(m_random() % 26));
    m_typed += chunk;
    send(QStringLiteral("append blockText ") + chunk);
    const QString typed = m_typed; // kept covers what was typed before it was asked
    if (state("kept").toBool())
        m_kept = typed;
}

void CrashHarness::session()
{
    const auto idle = [&] { return !state("busy").toBool(); };
    append(4);
    append(6);
    waitFor([&] { return state("kept").toBool(); });
    m_kept = m_typed;
    send(QStringLiteral("click saveButton"));
    waitFor([&] { return !state("dirty").toBool() && idle(); });
    m_kept = m_typed;
    append(5);

    send(QStringLiteral("click recordMeeting"));
    waitFor([&] { return visible("startRecording"); });
    send(QStringLiteral("click startRecording"));
    waitFor([&] { return visible("stopAndSave"); });
    QProcess play;
    play.start(QStringLiteral("paplay"),
               {QStringLiteral("--device=micsink"), m_root.filePath(QStringLiteral("tone.wav"))});
    while (play.waitForStarted() && !play.waitForFinished(20))
        state("busy"); // the client is asked all along, so that a kill may come meanwhile
    append(3);
    send(QStringLiteral("click stopAndSave"));
    ++m_stopped;
    waitFor([&] { return visible("playRecording") && idle(); });
}

CrashTally CrashHarness::run(int kills)
{
    CrashTally tally;
    makeTone(m_root.filePath(QStringLiteral("tone.wav")), 0.05, 0.3, 660, 0.05);
    launch();
    check(tally);
    while (tally.kills < kills) {
        // A moment of the session, all of it as long as the longest one so far.
        m_killAfter = qint64(m_random() % quint64(m_longest));
        m_clock.start();
        try {
            session();
            m_longest = std::max(m_longest, m_clock.elapsed());
        } catch (const Killed &) {
            ++tally.kills;
            m_killAfter = -1;
            launch();
            check(tally);
        }
    }
    m_killAfter = -1;
    send(QStringLiteral("quit"));
    m_process.waitForFinished();
    return tally;
}

} // namespace quorvale::test
