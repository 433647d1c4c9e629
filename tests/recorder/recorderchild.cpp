// A recorder in a process of its own, for the test that kills it mid-recording.
//   tst_recorder_child SERVER PAGE ACCOUNT
// Prints "recording" once the capture runs, then records until it is killed.

#include "recorder/meetingrecorder.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace {

QCoro::Task<> record(quorvale::MeetingRecorder *recorder, QString page, QString account)
{
    try {
        co_await recorder->start(page, account);
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
    if (arguments.size() != 4)
        return 2;
    quorvale::MeetingRecorder recorder(quorvale::makePulseCapture(arguments.at(1)));
    record(&recorder, arguments.at(2), arguments.at(3));
    return QCoreApplication::exec();
}
