// A client that signs in with a given token, makes an edit and waits to be killed: what a
// crash in the middle of unsaved work leaves behind.
//   drafteditor ORIGIN CA_FILE TOKEN TITLE

#include "model/workspacemodel.h"
#include "service/secretstore.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QSslCertificate>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> edit(quorvale::WorkspaceModel *model, QString title)
{
    co_await model->connect();
    if (!model->approved()) {
        std::puts("not approved");
        std::fflush(stdout);
        QCoreApplication::exit(1);
        co_return;
    }
    model->newPage(QStringLiteral("document"), false);
    model->rename(model->selectedPage().id(), title);
    std::puts("edited");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    std::unique_ptr<quorvale::SecretStore> secrets = quorvale::SecretStore::system();
    quorvale::WorkspaceModel model(std::move(secrets), QUrl(args[1]),
                                   QSslCertificate::fromPath(args[2]));
    model.service().setToken(args[3]);
    edit(&model, args[4]);
    return QCoreApplication::exec();
}
