// The quorvale executable. A start with another instance running hands its arguments (the
// browser's sign-in callback) to that instance and ends.

#include "files/durablefile.h"
#include "views/quorvaleapp.h"
#include "views/singleinstance.h"

#include <QApplication>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvale"));
    QApplication::setOrganizationDomain(QStringLiteral("qvl.mx"));
    QApplication::setDesktopFileName(QStringLiteral("mx.qvl.quorvale"));

    const QStringList urls = application.arguments().mid(1);
    quorvale::SingleInstance instance;
    if (instance.forward(urls))
        return 0;
    instance.listen();

    // Only the running instance gets here: writes a crash cut short left temporaries behind.
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!appData.isEmpty())
        quorvale::durable::removeTemporaries(QFileInfo(appData).absolutePath() +
                                             QStringLiteral("/Quorvale"));

    quorvale::QuorvaleApp quorvale(instance);
    quorvale.bringToFront();
    for (const QString &url : urls)
        quorvale.open(QUrl(url, QUrl::StrictMode));
    return QApplication::exec();
}
