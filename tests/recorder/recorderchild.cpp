// A recorder in a process of its own, for the tests that kill it mid-recording or limit the
// size of the files it may write.
//   tst_recorder_child SERVER PAGE ACCOUNT [FILE_SIZE_LIMIT]
// Prints "recording" once the capture runs, then records until it is killed. With a file size
// limit, prints "ended" and the recorder's error once the recording ends on its own, and exits.

#include "recorder/meetingrecorder.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

QCoro::Task<> record(quorvale::MeetingRecorder *recorder, QString page, QString account,
                     rlim_t limit)
{
    try {
        co_await recorder->start(page, account);
        // Only now: the sound server's shared memory is set up without the limit.
        const rlimit size{limit, limit};
        if (limit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &size) != 0)
            std::printf("no limit\n");
        std::printf("recording\n");
    } catch (const std::exception &error) {
        std::printf("failed %s\n", error.what());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tst_recorder"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4 && arguments.size() != 5)
        return 2;
    quorvale::MeetingRecorder recorder(quorvale::makePulseCapture(arguments.at(1)));
    rlim_t limit = RLIM_INFINITY;
    if (arguments.size() == 5) {
        // A write past the limit fails with EFBIG instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
        limit = arguments.at(4).toULongLong();
        QObject::connect(&recorder, &quorvale::MeetingRecorder::isRecordingChanged, &app,
                         [&recorder](bool recording) {
                             if (recording)
                                 return;
                             std::printf("ended %s\n", recorder.error().toUtf8().constData());
                             std::fflush(stdout);
                             QCoreApplication::quit();
                         });
    }
    record(&recorder, arguments.at(2), arguments.at(3), limit);
    return QCoreApplication::exec();
}
