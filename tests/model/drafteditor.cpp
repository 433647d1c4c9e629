// A client that signs in with a given token, makes an edit, reports it once the local draft
// holds it, and waits to be killed: what a crash in the middle of unsaved work leaves behind.
// With "type", it then goes on typing into the title and reports each keystroke the draft
// holds ("durable N").
//   drafteditor ORIGIN CA_FILE TOKEN TITLE [type]

#include "model/workspacemodel.h"
#include "service/secretstore.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QCoroTask>
#include <QSslCertificate>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> edit(quorvale::WorkspaceModel *model, QString title, bool type)
{
    co_await model->connect();
    model->newPage(QStringLiteral("document"), false);
    model->rename(model->selectedPage().id(), title);
    co_await model->flushDraft();
    std::puts(!model->approved() ? "not approved" : model->editsKept() ? "edited" : "not kept");
    std::fflush(stdout);
    if (!type)
        co_return;

    const std::string page(model->selectedPage().id());
    auto *typed = new int(0);
    QObject::connect(model, &quorvale::WorkspaceModel::draftKept, model, [typed] {
        std::printf("durable %d\n", *typed);
        std::fflush(stdout);
    });
    auto *keys = new QTimer(model);
    QObject::connect(keys, &QTimer::timeout, model, [model, page, title, typed] {
        ++*typed;
        model->rename(page, title + u' ' + QString::number(*typed));
    });
    keys->start(15);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5 && args.size() != 6)
        return 2;
    std::unique_ptr<quorvale::SecretStore> secrets = quorvale::SecretStore::system();
    quorvale::WorkspaceModel model(std::move(secrets), QUrl(args[1]),
                                   QSslCertificate::fromPath(args[2]));
    model.service().setToken(args[3]);
    edit(&model, args[4], args.size() == 6 && args[5] == QStringLiteral("type"));
    return QCoreApplication::exec();
}
