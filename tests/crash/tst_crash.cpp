// The client killed twenty times at random moments of typing, saving and recording: nothing it
// had reported kept is lost, every recording reaches the server, no temporary stays behind.

#include "support/crashharness.h"

#include <QTest>

using namespace quorvale::test;

class CrashTest : public QObject
{
    Q_OBJECT

private slots:
    void nothingKeptIsLostWhenTheClientIsKilled()
    {
        if (!qEnvironmentVariableIsSet("QUORVALE_TEST_SOUND_SERVER"))
            QSKIP("no sound server: run this inside scripts/with-sound (scripts/test does)");
        CrashHarness harness(QStringLiteral(QUORVALE_CLIENT));
        const QString error = harness.prepare();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const CrashTally tally = harness.run(20);
        QVERIFY2(tally.lostKeystrokes == 0 && tally.unrecoverableRecordings == 0 &&
                     tally.leftovers == 0,
                 qPrintable(tally.faults.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(CrashTest)
#include "tst_crash.moc"
