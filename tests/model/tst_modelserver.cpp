#include "draftstore/draftstore.h"
#include "model/workspacemodel.h"
#include "support/cannedserver.h"
#include "support/files.h"
#include "support/keyring.h"
#include "support/memorysecretstore.h"
#include "support/modeltesting.h"
#include "support/referenceserver.h"

#include <QDir>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quorvale;
using namespace quorvale::test;

namespace {

JSON draftNamed(const char *name, int revision = 0)
{
    return JSON::object({{"revision", revision}, {"workspace", JSON::object({{"name", name}})}});
}

// The drafts of id set aside under a dated name.
QStringList setAside(const QString &id)
{
    const QDir drafts = QFileInfo(DraftStore::file(id)).dir();
    QStringList paths;
    for (const QString &name : drafts.entryList({id + ".2*.encrypted"}))
        paths << drafts.filePath(name);
    return paths;
}

} // namespace

class ModelServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Drafts and settings go to directories of this test's own.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath("data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
        // Drafts are kept as a user's are, on the real keyring, which other processes read too.
        QByteArray skipReason;
        m_keychain = privateKeyring(skipReason);
        if (!m_keychain)
            QSKIP(skipReason.constData());
        QVERIFY(m_server.start());
        m_admin = newAccount("admin");
    }

    // Connection and access.
    void firstConnectionGetsTheDefaultDocumentAndSaves()
    {
        const QString id = newAccount("saver");
        auto m = model(id);
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(m->approved() && !m->isAdmin() && !m->dirty());
        QCOMPARE(m->workspace()["name"], JSON("Mi espacio"));
        m->newPage("document", true);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QVERIFY(draftOf(id));
        QCOMPARE(errorOf(m->save()), QString());
        QVERIFY(!m->dirty() && m->revision() == 1);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QVERIFY(!QFile::exists(DraftStore::file(id)));

        // A fresh client sees exactly what was saved, unknown keys and all.
        auto fresh = model(id);
        QCOMPARE(errorOf(fresh->connect()), QString());
        QCOMPARE(fresh->workspace(), m->workspace());
    }

    void lostAccessWipesMemoryAfterKeepingTheDraft()
    {
        const QString id = newAccount("blocked");
        auto m = model(id);
        m->setObservationInterval(std::chrono::milliseconds(100));
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", false);
        m->rename(m->selectedPage().id(), "Sin guardar");

        // Blocked: the next check wipes the document; the unsaved edit survives in the draft.
        QVERIFY(m_server.setStatus(id, "block"));
        QTRY_VERIFY_WITH_TIMEOUT(m->workspace().isNull(), 10000);
        QVERIFY(!m->dirty());
        QCOMPARE(m->account()["status"], JSON("blocked"));
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(draftOf(id).value_or(JSON())["workspace"]["pages"].at(0)["title"],
                 JSON("Sin guardar"));

        // A revoked session: the next check signs out.
        auto admin = model(m_admin);
        QCOMPARE(errorOf(admin->connect()), QString());
        QVERIFY(admin->isAdmin() && admin->accounts().size() >= 2);
        admin->setObservationInterval(std::chrono::milliseconds(100));
        admin->observe();
        QCOMPARE(errorOf(model(m_admin)->service().logout()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(admin->account().isNull(), 10000);
        QVERIFY(admin->workspace().isNull());
        m_tokens[m_admin] = m_server.token(m_admin);
    }

    // Saving.
    void aSecondClientMakesAConflict()
    {
        const QString id = newAccount("two");
        auto a = model(id);
        auto b = model(id);
        QCOMPARE(errorOf(a->connect()), QString());
        QCOMPARE(errorOf(b->connect()), QString());
        a->newPage("document", false);
        QCOMPARE(errorOf(a->save()), QString());

        b->newPage("board", false);
        const JSON mine = b->workspace();
        QVERIFY(!errorOf(b->save()).isEmpty());
        QVERIFY(b->conflict() && b->dirty());
        QCOMPARE(b->revision(), 0);
        QCOMPARE(b->workspace(), mine);

        // Reloading now would drop the edits: refused, and the server is not asked.
        const qsizetype requests = m_server.accessLog().size();
        QCOMPARE(errorOf(b->load()), "Guarda o exporta tus cambios antes de recargar.");
        QCOMPARE(b->workspace(), mine);
        QCOMPARE(m_server.accessLog().size(), requests);
    }

    void anEditDuringASaveStaysDirty()
    {
        const QString id = newAccount("typist");
        auto m = model(id);
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", false);

        auto saving = start(m->save());
        m->rename(m->selectedPage().id(), "typed while saving"); // the PUT is under way
        QCOMPARE(saving.finish().error, QString());
        QCOMPARE(m->revision(), 1);
        QVERIFY(m->dirty());
        // The draft follows the new revision: after a crash now, the next save would otherwise
        // meet a conflict with this very save.
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(draftOf(id).value_or(JSON())["revision"], JSON(1));

        QCOMPARE(errorOf(m->save()), QString());
        QVERIFY(!m->dirty());
    }

    void savesTakeTurns()
    {
        auto m = model(newAccount("turns"));
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", false);

        // Menu, toolbar and a new meeting saving at once: one PUT (a second would be refused as
        // based on an old revision), and no false conflict.
        auto first = start(m->save());
        auto second = start(m->save());
        WorkspaceModel *saver = m.get();
        m->run([saver]() -> QCoro::Task<> { co_await saver->save(); });
        QCOMPARE(first.finish().error, QString());
        QCOMPARE(second.finish().error, QString());
        QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 20000);
        QCOMPARE(m->message(), QString());
        QVERIFY(!m->conflict() && !m->dirty());
        QCOMPARE(m->revision(), 1);
    }

    void answersOfAnEndedSignInAreDropped()
    {
        auto m = model(newAccount("late"));
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", true);
        const QString page = m->selection();

        // A save, a load and a page's loads under way when access ends: nothing of them lands.
        auto saving = start(m->save());
        m->clearPrivateMemory();
        QCOMPARE(saving.finish().error, QString());
        QVERIFY(m->workspace().isNull());
        QCOMPARE(m->revision(), 0);

        auto loading = start(m->load());
        m->select(page);
        m->clearPrivateMemory();
        QCOMPARE(loading.finish().error, QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_server.accessLog().constLast().contains("recordings"), 10000);
        QTest::qWait(100); // the page's answer is read, or dropped
        QVERIFY(m->workspace().isNull() && m->meetings().empty());
        QVERIFY(m->message().isEmpty());

        // Page ids go into queries percent-encoded.
        m->select("a b&c#d");
        QTRY_VERIFY2_WITH_TIMEOUT(
            m_server.accessLog().constLast().contains("recordings?pageId=a%20b%26c%23d"),
            m_server.accessLog().constLast().constData(), 10000);
    }

    void theWindowRecoversWhenTheServerComesBack()
    {
        // A session the server does not know signs out quietly.
        auto expired = model("revoked-or-never-issued");
        QCOMPARE(errorOf(expired->connect()), QString());
        QVERIFY(expired->account().isNull() && !expired->service().token());
        QVERIFY(expired->message().isEmpty());

        auto m = model(newAccount("down"));
        m->setObservationInterval(std::chrono::milliseconds(100));
        const int port = m_server.port();
        m_server.stop();
        // A network failure is shown and leaves the session as it was.
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(!m->message().isEmpty() && m->workspace().isNull());
        QVERIFY(m->service().token());
        m_server.setPort(port);
        QVERIFY(m_server.start());
        QTRY_VERIFY_WITH_TIMEOUT(m->approved() && m->workspace().isObject(), 20000);
    }

    // The local draft.
    void aKilledClientsDraftIsRecovered()
    {
        const QString id = newAccount("crash");

        // Killed while typing (SIGKILL: nothing gets to clean up): every keystroke reported
        // durable is in the draft.
        const auto typist = startEditor(id, "tecla", {"type"});
        int durable = -1;
        int reports = 0;
        while (reports < 12 && typist->waitForReadyRead(20000)) {
            while (typist->canReadLine()) {
                const QByteArray line = typist->readLine().trimmed();
                if (line.startsWith("durable ")) {
                    durable = line.mid(8).toInt();
                    ++reports;
                }
            }
        }
        typist->kill();
        typist->waitForFinished();
        QVERIFY(reports >= 12);
        const QString typed =
            str(draftOf(id).value_or(JSON())["workspace"]["pages"].at(0)["title"].stringValue());
        QVERIFY2(typed.startsWith("tecla ") && typed.mid(6).toInt() >= durable, qPrintable(typed));
        DraftStore::remove(id);

        // Killed after an edit; then again after another, and the server moved on meanwhile:
        // recovered, but in conflict.
        for (const bool serverMovedOn : {false, true}) {
            const auto child = startEditor(id, serverMovedOn ? "otra vez" : "antes del corte");
            QVERIFY(child->waitForReadyRead(20000));
            QCOMPARE(child->readLine().trimmed(), QByteArray("edited"));
            child->kill();
            child->waitForFinished();
            if (serverMovedOn) {
                auto writer = model(id);
                QCOMPARE(errorOf([](Service *s) -> QCoro::Task<> {
                             co_await s->json("/api/workspace", "PUT", draftNamed("servidor"));
                         }(&writer->service())),
                         QString());
            }
            auto m = model(id);
            QCOMPARE(errorOf(m->connect()), QString());
            QVERIFY(m->dirty());
            QCOMPARE(m->conflict(), serverMovedOn);
            QCOMPARE(m->revision(), 0);
            QCOMPARE(m->workspace()["pages"].arrayValue().back()["title"],
                     JSON(serverMovedOn ? "otra vez" : "antes del corte"));
            QVERIFY(m->message().startsWith("Recuperamos tu borrador local."));
        }
    }

    void draftComesBackWhateverFailsAfterTheWorkspace()
    {
        CannedServer canned(m_server.dataDir() + "/server.pem",
                            m_server.dataDir() + "/server-key.pem");
        QVERIFY(canned.listen());
        const QString id = "canned-account";
        DraftStore(*m_keychain).save(draftNamed("borrador", 3), id);
        canned.reply(CannedServer::response(
            200, R"({"account":{"id":"canned-account","status":"approved","role":"admin"}})"));
        canned.reply(
            CannedServer::response(200, R"({"workspace":{"name":"servidor"},"revision":3})"));
        canned.reply(CannedServer::response(500, R"({"error":"sin reuniones"})"));

        auto m = model("t", {}, canned.origin());
        // A keystroke as soon as a document is on screen lands on the draft, not on a copy the
        // draft then replaces.
        QObject::connect(
            m.get(), &WorkspaceModel::workspaceChanged, m.get(),
            [&m] { QTimer::singleShot(0, m.get(), [&m] { m->newPage("document", false); }); },
            Qt::SingleShotConnection);
        QCOMPARE(errorOf(m->connect()), QString());
        // The meetings failed, and the draft is back all the same, unsaved, never overwritten.
        QCOMPARE(m->message(), "No se pudo completar la operación (500): sin reuniones");
        QCOMPARE(m->workspace()["name"], JSON("borrador"));
        QCOMPARE(m->workspace()["pages"].arrayValue().size(), 1u);
        QVERIFY(m->dirty());
        DraftStore::remove(id);
    }

    void aDraftThatCannotBeOpenedIsNeverOverwritten()
    {
        const QString id = newAccount("locked");
        auto keys = std::make_unique<MemorySecretStore>();
        MemorySecretStore *lock = keys.get();
        auto m = model(id, std::move(keys));
        DraftStore(*lock).save(draftNamed("trabajo previo"), id);
        const QString file = DraftStore::file(id);
        const QByteArray earlier = readAll(file);

        // Locked at load: the server's copy shows, the user is told once, the draft is untouched
        // by edits and by a save.
        lock->setLocked(true);
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(!m->dirty());
        QVERIFY2(m->message().contains("Desbloquea el llavero"), qPrintable(m->message()));
        m->setMessage(QString());
        m->newPage("document", false);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(m->message(), QString());
        QVERIFY(!m->editsKept());
        QCOMPARE(errorOf(m->save()), QString());
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(readAll(file), earlier);

        // Edits the draft could not keep are offered for export at sign-out; a cancel keeps the
        // user signed in with their work.
        m->rename(m->selectedPage().id(), "sin borrador");
        QString backup;
        const auto panel = [&](const QString &) { return backup; };
        m->setSavePanel(panel);
        m->logout();
        QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 10000);
        QVERIFY(m->approved() && m->dirty());

        // The keyring answers again: the earlier draft is set aside whole, the new edit kept.
        lock->setLocked(false);
        m->newPage("document", false);
        QTRY_VERIFY_WITH_TIMEOUT(m->editsKept(), 10000);
        const QStringList aside = setAside(id);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readAll(aside[0]), earlier);
        QVERIFY2(m->message().contains(aside[0]), qPrintable(m->message()));
        QCOMPARE(DraftStore(*lock).load(id).value_or(JSON())["workspace"]["pages"].size(), 2u);
        const QByteArray kept = readAll(file);

        // Another start with the keyring locked: signing out with the edits exported.
        keys = std::make_unique<MemorySecretStore>();
        keys->setLocked(true);
        auto again = model(id, std::move(keys));
        QCOMPARE(errorOf(again->connect()), QString());
        again->newPage("document", false);
        again->setSavePanel(panel);
        backup = m_home.filePath("al-salir.json");
        again->logout();
        QTRY_VERIFY_WITH_TIMEOUT(again->account().isNull(), 10000);
        QVERIFY(readAll(backup).contains(R"("pages":[{)"));
        QCOMPARE(readAll(file), kept);
        m_tokens[id] = m_server.token(id);
    }

    void unreadableDraftsAreSetAside()
    {
        // However it is unreadable (the store's suite has the ways), it is set aside the same way.
        const QString id = newAccount("damaged");
        const QByteArray bytes(20, 'x');
        QVERIFY(writeAll(DraftStore::file(id), bytes));
        auto m = model(id);
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(!m->dirty());
        QCOMPARE(m->workspace()["name"], JSON("Mi espacio"));
        // Never silently replaced: kept as it was under a dated name, and the user is told.
        const QStringList aside = setAside(id);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readAll(aside[0]), bytes);
        QVERIFY2(m->message().contains(aside[0]), qPrintable(m->message()));
        m->newPage("document", false);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(readAll(aside[0]), bytes);
        QVERIFY(QFile::exists(DraftStore::file(id)));
    }

    void backupsAndTheirPanel()
    {
        const QString id = newAccount("backup");
        auto m = model(id);
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", false);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        const QByteArray draft = readAll(DraftStore::file(id));
        QVERIFY(!draft.isEmpty());

        // Cancelled: nothing changes.
        QString backup;
        m->setSavePanel([&](const QString &) { return backup; });
        m->exportAndReload();
        QVERIFY(m->dirty());
        QCOMPARE(readAll(DraftStore::file(id)), draft);

        // Chosen: a plain backup of exactly the revision and the document, then the server's copy.
        backup = m_home.filePath("respaldo.json");
        const JSON mine = m->workspace();
        m->exportAndReload();
        QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 10000);
        QCOMPARE(JSON::decode(readAll(backup).toStdString()),
                 JSON::object({{"revision", 0}, {"workspace", mine}}));
        QVERIFY(!m->dirty());
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QVERIFY(!QFile::exists(DraftStore::file(id)));
    }

    // Pages.
    void selectingAPageLoadsItsRecordings()
    {
        const QString id = newAccount("pages");
        auto m = model(id);
        QCOMPARE(errorOf(m->connect()), QString());
        m->newPage("document", true);
        const QString meeting = m->selection();
        m->newPage("document", false);
        const QString other = m->selection();
        QCOMPARE(errorOf(m->save()), QString());
        QCOMPARE(errorOf([](Service *s, QString page) -> QCoro::Task<> {
                     co_await s->request("/api/recordings?pageId=" + page +
                                             "&name=a.m4a&uploadId=u1",
                                         "POST", QByteArray(4096, 'a'), "audio/mp4");
                 }(&m->service(), meeting)),
                 QString());

        m->select(meeting);
        QTRY_COMPARE_WITH_TIMEOUT(m->recordings().size(), 1u, 10000);
        QCOMPARE(m->recordings()[0]["name"], JSON("a.m4a"));

        // Moving on before the answer: the earlier page's recordings never show on the later one.
        const qsizetype requests = m_server.accessLog().size();
        m->select(meeting);
        m->select(other);
        QTRY_VERIFY_WITH_TIMEOUT(m_server.accessLog().size() >= requests + 1, 10000);
        QTest::qWait(200); // let the earlier answer arrive too
        QVERIFY(m->recordings().empty());
        QCOMPARE(m->selection(), other);
    }

private:
    // A model of the account id (or of a token) on the private keyring unless given another
    // keychain; it has not connected yet.
    std::unique_ptr<WorkspaceModel>
    model(const QString &id, std::unique_ptr<SecretStore> secrets = {}, const QUrl &origin = {})
    {
        QByteArray unused;
        if (!secrets)
            secrets = privateKeyring(unused);
        auto m = std::make_unique<WorkspaceModel>(std::move(secrets),
                                                  origin.isEmpty() ? m_server.origin() : origin,
                                                  QSslCertificate::fromPath(m_server.caFile()));
        m->service().setToken(m_tokens.value(id, id));
        return m;
    }

    QString newAccount(const char *name)
    {
        const QString id = m_server.addAccount(QString::fromLatin1(name) + "@example.test");
        // The first account is the administrator, approved from the start.
        if (!m_tokens.isEmpty())
            m_server.setStatus(id, "approve");
        m_tokens[id] = m_server.token(id);
        return id;
    }

    std::optional<JSON> draftOf(const QString &id) { return DraftStore(*m_keychain).load(id); }
    // A client in a process of its own that makes an edit, says "edited" once the draft holds it,
    // and waits to be killed; see drafteditor.cpp.
    std::unique_ptr<QProcess> startEditor(const QString &id, const QString &title,
                                          const QStringList &more = {})
    {
        auto child = std::make_unique<QProcess>();
        child->start(
            QStringLiteral(QUORVALE_DRAFTEDITOR),
            QStringList{m_server.origin().toString(), m_server.caFile(), m_tokens[id], title} +
                more);
        return child;
    }

    ReferenceServer m_server;
    QTemporaryDir m_home;
    std::unique_ptr<SecretStore> m_keychain;
    QMap<QString, QString> m_tokens; // account id → token
    QString m_admin;
};

QTEST_GUILESS_MAIN(ModelServerTest)
#include "tst_modelserver.moc"
