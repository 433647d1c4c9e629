#pragma once
// Kills the real client (SIGKILL) at a random moment of a scripted session: typing into a
// block, saving, recording a tone from the private sound server, stopping, uploading. Each next
// start is checked: every keystroke the client reported kept is back, every recording is on the
// server or recovered from its pending row, and no temporary is left in the client's folders.
// The seed is printed; QUORVALE_CRASH_SEED replays it.
#include "support/driver.h"
#include "support/referenceserver.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <random>

namespace quorvale::test {

struct CrashTally
{
    int kills = 0, lostKeystrokes = 0, unrecoverableRecordings = 0, leftovers = 0;
    QStringList faults; // what went wrong, for the failure message
};

class CrashHarness final
{
public:
    // client: the quorvale executable, with test hooks, built for a server on localhost.
    explicit CrashHarness(QString client)
        : m_client(std::move(client))
    {}
    ~CrashHarness();
    // Server, account, a meeting page with one text block, stray temporaries of a past crash;
    // answers what failed, if anything.
    QString prepare();
    // Kills the client that many times, checks each next start, and ends it once more.
    CrashTally run(int kills);

private:
    struct Killed
    {};
    QJsonObject send(const QString &command);
    // One member of the client's state.
    QJsonValue state(const char *key) { return send(QStringLiteral("state"))[QLatin1String(key)]; }
    bool visible(const char *widget);
    bool waitFor(const std::function<bool()> &ready);
    void launch();
    void check(CrashTally &tally);
    void session();
    void append(int keys);

    QString m_client;
    QTemporaryDir m_root;
    std::unique_ptr<ReferenceServer> m_server;
    QString m_token;
    QProcess m_process;
    Driver m_driver;
    std::mt19937 m_random;
    QElapsedTimer m_clock;   // since the session began
    qint64 m_killAfter = -1; // ms into the session the client dies at its next command
    qint64 m_longest = 2000; // ms of the longest whole session so far
    QString m_typed;         // every character sent to the block
    QString m_kept;          // what the client reported kept of it
    int m_stopped = 0;       // recordings stopped by the user
    bool m_stuck = false;    // a pending recording failed to recover
};

} // namespace quorvale::test
