// The client killed 200 times at random moments of typing, saving and recording (see
// tests/support/crashharness.h), each next start checked. A client with the test hooks is
// needed: the release build has none, so scripts/bench passes the development build's.
//   bench_crash [CLIENT [KILLS]]   inside scripts/with-keyring and scripts/with-sound

#include "support/crashharness.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString client = args.value(1, QStringLiteral(QUORVALE_CLIENT));
    const int kills = args.value(2, QStringLiteral("200")).toInt();
    quorvale::test::CrashHarness harness(client);
    if (const QString error = harness.prepare(); !error.isEmpty()) {
        std::fprintf(stderr, "bench_crash: %s\n", qPrintable(error));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const quorvale::test::CrashTally tally = harness.run(kills);
    for (const QString &fault : tally.faults)
        std::printf("%s\n", qPrintable(fault));
    std::printf("%.1f s for %d kills\n", double(clock.elapsed()) / 1000, tally.kills);
    std::printf("RESULT kills=%d lost_keystrokes=%d unrecoverable_recordings=%d leftovers=%d\n",
                tally.kills, tally.lostKeystrokes, tally.unrecoverableRecordings, tally.leftovers);
    return 0;
}
