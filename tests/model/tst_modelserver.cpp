#include "draftstore/draftstore.h"
#include "model/workspacemodel.h"
#include "support/cannedserver.h"
#include "support/memorysecretstore.h"
#include "support/modeltesting.h"
#include "support/referenceserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

using quorvale::JSON;
using quorvale::SecretStore;
using quorvale::WorkspaceModel;
using quorvale::test::errorOf;
using quorvale::test::ReferenceServer;

namespace {

// Every model of a test shares one keychain: the real one in a private session when the test
// run provides it, else one in memory.
class SharedSecrets final : public SecretStore
{
public:
    explicit SharedSecrets(SecretStore &target)
        : m_target(target)
    {}
    Lookup find(const std::string &s, const std::string &a) override { return m_target.find(s, a); }
    bool store(const std::string &s, const std::string &a, const std::string &l,
               const Bytes &d) override
    {
        return m_target.store(s, a, l, d);
    }
    bool remove(const std::string &s, const std::string &a) override
    {
        return m_target.remove(s, a);
    }

private:
    SecretStore &m_target;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

class ModelServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // Connection and approval.
    void firstConnectionGetsTheDefaultDocument();
    void pendingAccountLoadsOnceApproved();
    void expiredSessionSignsOutQuietly();
    void lostAccessWipesMemoryAfterKeepingTheDraft();

    // Saving.
    void saveSendsOnlyWhenDirty();
    void aSecondClientMakesAConflict();
    void anEditDuringASaveStaysDirty();
    void savesTakeTurns();
    void answersOfAnEndedSignInAreDropped();
    void theWindowRecoversWhenTheServerComesBack();

    // The local draft.
    void aKilledClientsDraftIsRecovered();
    void draftComesBackWhateverFailsAfterTheWorkspace();
    void aDraftThatCannotBeOpenedIsNeverOverwritten();
    void unreadableDraftsAreSetAside();
    void backupsAndTheirPanel();

    // Pages.
    void selectingAPageLoadsItsRecordings();

private:
    std::unique_ptr<WorkspaceModel> model(const QString &token);
    // A model whose in-memory keychain the test can lock.
    std::unique_ptr<WorkspaceModel> lockableModel(const QString &token,
                                                  quorvale::MemorySecretStore **keys);
    QString newAccount(const QString &email, bool approve = true);
    int puts() const;

    ReferenceServer m_server;
    QTemporaryDir m_home;
    std::unique_ptr<SecretStore> m_keychain;
    QList<QSslCertificate> m_authority;
    QMap<QString, QString> m_tokens; // account id → token
    QString m_admin;
    int m_accounts = 0;
};

void ModelServerTest::initTestCase()
{
    // Drafts and settings go to directories of this test's own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    m_keychain =
        qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING")
            ? SecretStore::system()
            : std::unique_ptr<SecretStore>(std::make_unique<quorvale::MemorySecretStore>());
    QVERIFY(m_server.start());
    m_authority = QSslCertificate::fromPath(m_server.caFile());
    m_admin = newAccount(QStringLiteral("admin@example.test"));
}

void ModelServerTest::init()
{
    QSettings().remove(QStringLiteral("language"));
}

QString ModelServerTest::newAccount(const QString &email, bool approve)
{
    const QString id = m_server.addAccount(email);
    if (approve && m_accounts > 0)
        m_server.setStatus(id, QStringLiteral("approve"));
    ++m_accounts;
    m_tokens[id] = m_server.token(id);
    return id;
}

std::unique_ptr<WorkspaceModel> ModelServerTest::model(const QString &token)
{
    auto m = std::make_unique<WorkspaceModel>(std::make_unique<SharedSecrets>(*m_keychain),
                                              m_server.origin(), m_authority);
    m->service().setToken(token);
    return m;
}

std::unique_ptr<WorkspaceModel> ModelServerTest::lockableModel(const QString &token,
                                                               quorvale::MemorySecretStore **keys)
{
    auto store = std::make_unique<quorvale::MemorySecretStore>();
    *keys = store.get();
    auto m = std::make_unique<WorkspaceModel>(std::move(store), m_server.origin(), m_authority);
    m->service().setToken(token);
    return m;
}

int ModelServerTest::puts() const
{
    int count = 0;
    for (const QByteArray &line : m_server.accessLog())
        count += line.contains(R"("method":"PUT")") ? 1 : 0;
    return count;
}

void ModelServerTest::firstConnectionGetsTheDefaultDocument()
{
    const QString id = newAccount(QStringLiteral("new@example.test"));
    auto m = model(m_tokens[id]);
    QSignalSpy busy(m.get(), &WorkspaceModel::busyChanged);
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(m->approved());
    QVERIFY(!m->isAdmin());
    QCOMPARE(m->workspace()["name"].stringValue(), std::string_view("Mi espacio"));
    QVERIFY(!m->dirty() && m->message().isEmpty());
    QCOMPARE(busy.count(), 0); // connecting is not a user action

    auto admin = model(m_tokens[m_admin]);
    QCOMPARE(errorOf(admin->connect()), QString());
    QVERIFY(admin->isAdmin());
    QVERIFY(admin->accounts().size() >= 2);
}

void ModelServerTest::pendingAccountLoadsOnceApproved()
{
    const QString id = newAccount(QStringLiteral("pending@example.test"), false);
    auto m = model(m_tokens[id]);
    m->setObservationInterval(std::chrono::milliseconds(100));
    QCOMPARE(errorOf(m->connect()), QString());
    QCOMPARE(m->account()["status"].stringValue(), std::string_view("pending"));
    QVERIFY(!m->approved());
    QVERIFY(m->workspace().isNull());

    QVERIFY(m_server.setStatus(id, QStringLiteral("approve")));
    QTRY_VERIFY_WITH_TIMEOUT(m->approved(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!m->workspace().isNull(), 10000);
    QCOMPARE(m->workspace()["name"].stringValue(), std::string_view("Mi espacio"));
}

void ModelServerTest::expiredSessionSignsOutQuietly()
{
    auto m = model(QStringLiteral("revoked-or-never-issued"));
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(m->account().isNull());
    QVERIFY(!m->service().token());
    QVERIFY(m->message().isEmpty());

    // A network failure is shown and leaves the account as it was.
    auto offline =
        std::make_unique<WorkspaceModel>(std::make_unique<SharedSecrets>(*m_keychain),
                                         QUrl(QStringLiteral("https://localhost:1")), m_authority);
    offline->service().setToken(QStringLiteral("t"));
    QCOMPARE(errorOf(offline->connect()), QString());
    QVERIFY(!offline->message().isEmpty());
    QVERIFY(offline->service().token());
}

void ModelServerTest::lostAccessWipesMemoryAfterKeepingTheDraft()
{
    const QString id = newAccount(QStringLiteral("blocked@example.test"));
    auto m = model(m_tokens[id]);
    m->setObservationInterval(std::chrono::milliseconds(100));
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), false);
    m->rename(m->selectedPage().id(), QStringLiteral("Sin guardar"));
    QVERIFY(m->dirty());

    // Blocked: the next check wipes the document; the unsaved edit survives in the draft.
    QVERIFY(m_server.setStatus(id, QStringLiteral("block")));
    QTRY_VERIFY_WITH_TIMEOUT(m->workspace().isNull(), 10000);
    QVERIFY(!m->dirty());
    QCOMPARE(m->account()["status"].stringValue(), std::string_view("blocked"));
    QCOMPARE(errorOf(m->flushDraft()), QString());
    SharedSecrets secrets(*m_keychain);
    const auto draft = quorvale::DraftStore(secrets).load(id);
    QVERIFY(draft);
    QCOMPARE((*draft)["workspace"]["pages"].at(0)["title"].stringValue(),
             std::string_view("Sin guardar"));

    // A revoked session: the next check signs out.
    auto other = model(m_tokens[m_admin]);
    QCOMPARE(errorOf(other->connect()), QString());
    other->setObservationInterval(std::chrono::milliseconds(100));
    other->observe();
    auto revoker = model(m_tokens[m_admin]);
    QCOMPARE(errorOf(revoker->service().logout()), QString());
    QTRY_VERIFY_WITH_TIMEOUT(other->account().isNull(), 10000);
    QVERIFY(other->workspace().isNull());
    m_tokens[m_admin] = m_server.token(m_admin);
}

void ModelServerTest::saveSendsOnlyWhenDirty()
{
    const QString id = newAccount(QStringLiteral("saver@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    const qsizetype before = m_server.accessLog().size();
    QCOMPARE(errorOf(m->save()), QString());
    QCOMPARE(m_server.accessLog().size(), before);

    m->setLanguage(QStringLiteral("en"));
    m->newPage(QStringLiteral("document"), true);
    QVERIFY(m->dirty());
    QCOMPARE(errorOf(m->flushDraft()), QString());
    SharedSecrets secrets(*m_keychain);
    QVERIFY(quorvale::DraftStore(secrets).load(id));
    QCOMPARE(errorOf(m->save()), QString());
    QVERIFY(!m->dirty());
    QCOMPARE(m->revision(), 1);
    QCOMPARE(errorOf(m->flushDraft()), QString());
    QVERIFY(!QFile::exists(quorvale::DraftStore::file(id)));
    QCOMPARE(m->meetings().size(), 1u);
    QCOMPARE(m->meetings()[0]["title"].stringValue(), std::string_view("New meeting"));

    // A fresh client sees exactly what was saved, unknown keys and all.
    auto fresh = model(m_tokens[id]);
    QCOMPARE(errorOf(fresh->connect()), QString());
    QCOMPARE(fresh->workspace(), m->workspace());
}

void ModelServerTest::aSecondClientMakesAConflict()
{
    const QString id = newAccount(QStringLiteral("two@example.test"));
    auto a = model(m_tokens[id]);
    auto b = model(m_tokens[id]);
    QCOMPARE(errorOf(a->connect()), QString());
    QCOMPARE(errorOf(b->connect()), QString());
    a->newPage(QStringLiteral("document"), false);
    QCOMPARE(errorOf(a->save()), QString());

    b->newPage(QStringLiteral("board"), false);
    const JSON mine = b->workspace();
    const QString error = errorOf(b->save());
    QCOMPARE(error, QStringLiteral("Hay cambios nuevos en el servidor. Tus cambios siguen aquí; "
                                   "expórtalos antes de recargar."));
    QVERIFY(b->conflict() && b->dirty());
    QCOMPARE(b->revision(), 0);
    QCOMPARE(b->workspace(), mine);

    // Reloading now would drop the edits: refused, and the server is not asked.
    const qsizetype requests = m_server.accessLog().size();
    QCOMPARE(errorOf(b->load()), QStringLiteral("Guarda o exporta tus cambios antes de recargar."));
    QCOMPARE(b->workspace(), mine);
    QCOMPARE(m_server.accessLog().size(), requests);
}

void ModelServerTest::anEditDuringASaveStaysDirty()
{
    const QString id = newAccount(QStringLiteral("typist@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), false);
    const std::string page(m->selectedPage().id());

    auto saving = quorvale::test::start(m->save());
    m->rename(page, QStringLiteral("typed while saving")); // the PUT is under way
    QCOMPARE(saving.finish().error, QString());
    QCOMPARE(m->revision(), 1);
    QVERIFY(m->dirty());
    // The draft follows the new revision: after a crash now, the next save would otherwise
    // meet a conflict with this very save.
    QCOMPARE(errorOf(m->flushDraft()), QString());
    SharedSecrets secrets(*m_keychain);
    QCOMPARE(quorvale::DraftStore(secrets).load(id).value_or(JSON())["revision"], JSON(1));

    QCOMPARE(errorOf(m->save()), QString());
    QVERIFY(!m->dirty());
    QCOMPARE(m->revision(), 2);
    auto fresh = model(m_tokens[id]);
    QCOMPARE(errorOf(fresh->connect()), QString());
    QCOMPARE(fresh->workspace()["pages"].at(0)["title"].stringValue(),
             std::string_view("typed while saving"));
}

void ModelServerTest::savesTakeTurns()
{
    const QString id = newAccount(QStringLiteral("turns@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), false);
    const int before = puts();

    // Menu, toolbar and a new meeting saving at once: one PUT, and no false conflict.
    auto first = quorvale::test::start(m->save());
    auto second = quorvale::test::start(m->save());
    WorkspaceModel *saver = m.get();
    m->run([saver]() -> QCoro::Task<> { co_await saver->save(); });
    QCOMPARE(first.finish().error, QString());
    QCOMPARE(second.finish().error, QString());
    QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 20000);
    QCOMPARE(m->message(), QString());
    QVERIFY(!m->conflict());
    QVERIFY(!m->dirty());
    QCOMPARE(m->revision(), 1);
    QCOMPARE(puts() - before, 1);
}

void ModelServerTest::answersOfAnEndedSignInAreDropped()
{
    const QString id = newAccount(QStringLiteral("late@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), true);
    const QString page = qs(m->selectedPage().id());

    // A save, a load and a page's loads under way when access ends: nothing of them lands.
    auto saving = quorvale::test::start(m->save());
    m->clearPrivateMemory();
    QCOMPARE(saving.finish().error, QString());
    QVERIFY(m->workspace().isNull());
    QCOMPARE(m->revision(), 0);

    auto loading = quorvale::test::start(m->load());
    m->select(page);
    m->clearPrivateMemory();
    QCOMPARE(loading.finish().error, QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_server.accessLog().constLast().contains("recordings"), 10000);
    QTest::qWait(100); // the page's answer is read, or dropped
    QVERIFY(m->workspace().isNull());
    QVERIFY(m->meetings().empty());
    QVERIFY(m->message().isEmpty());

    // Page ids go into queries percent-encoded.
    m->select(QStringLiteral("a b&c#d"));
    QTRY_VERIFY2_WITH_TIMEOUT(
        m_server.accessLog().constLast().contains("recordings?pageId=a%20b%26c%23d"),
        m_server.accessLog().constLast().constData(), 10000);
}

void ModelServerTest::theWindowRecoversWhenTheServerComesBack()
{
    const QString id = newAccount(QStringLiteral("down@example.test"));
    auto m = model(m_tokens[id]);
    m->setObservationInterval(std::chrono::milliseconds(100));
    const int port = m_server.port();
    m_server.stop();
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(!m->message().isEmpty());
    QVERIFY(m->workspace().isNull());
    m_server.setPort(port);
    QVERIFY(m_server.start());
    QTRY_VERIFY_WITH_TIMEOUT(m->approved() && m->workspace().isObject(), 20000);
}

void ModelServerTest::aKilledClientsDraftIsRecovered()
{
    if (!qEnvironmentVariableIsSet("QUORVALE_TEST_KEYRING"))
        QSKIP("needs the private keyring of scripts/with-keyring (another process reads the key)");
    const QString id = newAccount(QStringLiteral("crash@example.test"));
    const auto crashAfterEditing = [&](const QString &title) {
        QProcess child;
        child.start(QStringLiteral(QUORVALE_DRAFTEDITOR),
                    {m_server.origin().toString(), m_server.caFile(), m_tokens[id], title});
        QVERIFY(child.waitForStarted());
        QVERIFY(child.waitForReadyRead(20000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("edited"));
        child.kill(); // SIGKILL: nothing gets to clean up
        child.waitForFinished();
    };

    // Killed while typing: every keystroke reported durable is in the draft.
    {
        QProcess child;
        child.start(QStringLiteral(QUORVALE_DRAFTEDITOR),
                    {m_server.origin().toString(), m_server.caFile(), m_tokens[id],
                     QStringLiteral("tecla"), QStringLiteral("type")});
        int durable = -1;
        int reports = 0;
        while (reports < 12 && child.waitForReadyRead(20000)) {
            while (child.canReadLine()) {
                const QByteArray line = child.readLine().trimmed();
                if (line.startsWith("durable ")) {
                    durable = line.mid(8).toInt();
                    ++reports;
                }
            }
        }
        child.kill();
        child.waitForFinished();
        QVERIFY(reports >= 12);
        SharedSecrets secrets(*m_keychain);
        const auto draft = quorvale::DraftStore(secrets).load(id);
        QVERIFY(draft);
        const QString title =
            qs((*draft)["workspace"]["pages"].arrayValue().back()["title"].stringValue());
        QVERIFY2(title.startsWith(QStringLiteral("tecla ")), qPrintable(title));
        QVERIFY2(title.mid(6).toInt() >= durable, qPrintable(title));
        quorvale::DraftStore::remove(id);
    }

    crashAfterEditing(QStringLiteral("antes del corte"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(m->dirty());
    QVERIFY(!m->conflict());
    QCOMPARE(m->workspace()["pages"].at(0)["title"].stringValue(),
             std::string_view("antes del corte"));
    QCOMPARE(m->message(),
             QStringLiteral("Recuperamos tu borrador local. Revísalo antes de guardar. "
                            "Si hay un conflicto, exporta la copia antes de recargar."));

    // The server moved on after the draft was taken: recovered, but in conflict.
    crashAfterEditing(QStringLiteral("otra vez"));
    auto writer = model(m_tokens[id]);
    QCOMPARE(errorOf(writer->connect()), QString()); // recovers the draft too
    JSON body =
        JSON::object({{"revision", 0}, {"workspace", JSON::object({{"name", "servidor"}})}});
    QCOMPARE(errorOf([](quorvale::Service *s, JSON b) -> QCoro::Task<> {
                 co_await s->json(QStringLiteral("/api/workspace"), "PUT", std::move(b));
             }(&writer->service(), body)),
             QString());
    auto later = model(m_tokens[id]);
    QCOMPARE(errorOf(later->connect()), QString());
    QVERIFY(later->dirty());
    QVERIFY(later->conflict());
    QCOMPARE(later->revision(), 0);
    QCOMPARE(later->workspace()["pages"].arrayValue().back()["title"].stringValue(),
             std::string_view("otra vez"));
}

void ModelServerTest::unreadableDraftsAreSetAside()
{
    const QString id = newAccount(QStringLiteral("damaged@example.test"));
    const QString other = newAccount(QStringLiteral("foreign@example.test"));
    SharedSecrets secrets(*m_keychain);
    quorvale::DraftStore(secrets).save(
        JSON::object({{"revision", 0}, {"workspace", JSON::object({{"name", "ajeno"}})}}), other);
    const QString file = quorvale::DraftStore::file(id);
    const QByteArray foreign = readFile(quorvale::DraftStore::file(other));
    QVERIFY(foreign.size() > 28);
    QByteArray altered = foreign;
    altered[20] = static_cast<char>(altered[20] ^ 0x01);

    const QDir drafts = QFileInfo(file).dir();
    for (const QByteArray &bytes : {QByteArray(20, 'x'), altered, foreign}) {
        for (const QString &name : drafts.entryList({id + QStringLiteral(".*")}))
            QVERIFY(QFile::remove(drafts.filePath(name)));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        auto m = model(m_tokens[id]);
        QCOMPARE(errorOf(m->connect()), QString());
        QVERIFY(!m->dirty());
        QCOMPARE(m->workspace()["name"].stringValue(), std::string_view("Mi espacio"));
        // Never silently replaced: kept as it was under a dated name, and the user is told.
        const QStringList aside = drafts.entryList({id + QStringLiteral(".2*.encrypted")});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(drafts.filePath(aside[0])), bytes);
        QVERIFY2(m->message().contains(aside[0]), qPrintable(m->message()));
        m->newPage(QStringLiteral("document"), false);
        QCOMPARE(errorOf(m->flushDraft()), QString());
        QCOMPARE(readFile(drafts.filePath(aside[0])), bytes);
        QVERIFY(QFile::exists(file));
    }
}

void ModelServerTest::draftComesBackWhateverFailsAfterTheWorkspace()
{
    using quorvale::test::CannedServer;
    CannedServer canned(m_server.dataDir() + QStringLiteral("/server.pem"),
                        m_server.dataDir() + QStringLiteral("/server-key.pem"));
    QVERIFY(canned.listen());
    const QString id = QStringLiteral("canned-account");
    SharedSecrets secrets(*m_keychain);
    quorvale::DraftStore(secrets).save(

        JSON::object({{"revision", 3}, {"workspace", JSON::object({{"name", "borrador"}})}}), id);
    canned.reply(CannedServer::response(
        200, R"({"account":{"id":"canned-account","status":"approved","role":"admin"}})"));
    canned.reply(CannedServer::response(200, R"({"workspace":{"name":"servidor"},"revision":3})"));
    canned.reply(CannedServer::response(500, R"({"error":"sin reuniones"})"));

    WorkspaceModel m(std::make_unique<SharedSecrets>(*m_keychain), canned.origin(), m_authority);
    m.service().setToken(QStringLiteral("t"));
    QCOMPARE(errorOf(m.connect()), QString());
    // The meetings failed, and the draft is back all the same, unsaved, never overwritten.
    QCOMPARE(m.message(), QStringLiteral("No se pudo completar la operación (500): sin reuniones"));
    QCOMPARE(m.workspace()["name"].stringValue(), std::string_view("borrador"));
    QVERIFY(m.dirty());
    quorvale::DraftStore::remove(id);
}

void ModelServerTest::aDraftThatCannotBeOpenedIsNeverOverwritten()
{
    const QString id = newAccount(QStringLiteral("locked@example.test"));
    quorvale::MemorySecretStore *keys = nullptr;
    auto m = lockableModel(m_tokens[id], &keys);
    quorvale::DraftStore(*keys).save(

        JSON::object({{"revision", 0}, {"workspace", JSON::object({{"name", "trabajo previo"}})}}),
        id);
    const QString file = quorvale::DraftStore::file(id);
    const QByteArray earlier = readFile(file);

    // Locked at load: the server's copy shows, the user is told once, the draft is untouched.
    keys->setLocked(true);
    QCOMPARE(errorOf(m->connect()), QString());
    QVERIFY(!m->dirty());
    QVERIFY2(m->message().contains(QStringLiteral("Desbloquea el llavero")),
             qPrintable(m->message()));
    m->setMessage(QString());
    m->newPage(QStringLiteral("document"), false);
    m->rename(m->selectedPage().id(), QStringLiteral("con el llavero cerrado"));
    QCOMPARE(errorOf(m->flushDraft()), QString());
    QCOMPARE(readFile(file), earlier);
    QCOMPARE(m->message(), QString());
    QVERIFY(!m->editsKept());
    // A save does not remove it either.
    QCOMPARE(errorOf(m->save()), QString());
    QCOMPARE(errorOf(m->flushDraft()), QString());
    QCOMPARE(readFile(file), earlier);

    // Edits the draft could not keep are offered for export at sign-out; a cancel keeps the
    // user signed in with their work.
    m->rename(m->selectedPage().id(), QStringLiteral("sin borrador"));
    QStringList asked;
    QString backup;
    const auto panel = [&](const QString &name) {
        asked << name;
        return backup;
    };
    m->setSavePanel(panel);
    m->logout();
    QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 10000);
    QCOMPARE(asked, QStringList{QStringLiteral("quorvale-respaldo.json")});
    QVERIFY(m->approved());
    QVERIFY(m->dirty());

    // The keyring answers again: the earlier draft is set aside whole, the new edit kept.
    keys->setLocked(false);
    m->newPage(QStringLiteral("document"), false);
    QTRY_VERIFY_WITH_TIMEOUT(m->editsKept(), 10000);
    const QDir drafts = QFileInfo(file).dir();
    const QStringList aside = drafts.entryList({id + QStringLiteral(".2*.encrypted")});
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readFile(drafts.filePath(aside[0])), earlier);
    QVERIFY2(m->message().contains(aside[0]), qPrintable(m->message()));
    const QByteArray kept = readFile(file);
    QCOMPARE(quorvale::DraftStore(*keys).load(id).value_or(JSON())["workspace"]["pages"].size(),
             2u);

    // Another start with the keyring locked: signing out with the edits exported.
    auto again = lockableModel(m_tokens[id], &keys);
    keys->setLocked(true);
    QCOMPARE(errorOf(again->connect()), QString());
    again->newPage(QStringLiteral("document"), false);
    again->setSavePanel(panel);
    backup = m_home.filePath(QStringLiteral("al-salir.json"));
    again->logout();
    QTRY_VERIFY_WITH_TIMEOUT(again->account().isNull(), 10000);
    QVERIFY(readFile(backup).contains(R"("pages":[{)"));
    QCOMPARE(readFile(file), kept);
    m_tokens[id] = m_server.token(id);
}

void ModelServerTest::backupsAndTheirPanel()
{
    const QString id = newAccount(QStringLiteral("backup@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), false);
    QCOMPARE(errorOf(m->flushDraft()), QString());
    const QByteArray draft = readFile(quorvale::DraftStore::file(id));
    QVERIFY(!draft.isEmpty());

    // Cancelled: nothing changes and nothing is reloaded.
    QStringList proposed;
    m->setSavePanel([&](const QString &name) {
        proposed << name;
        return QString();
    });
    const qsizetype requests = m_server.accessLog().size();
    m->exportAndReload();
    QCOMPARE(proposed, QStringList{QStringLiteral("quorvale-respaldo.json")});
    QVERIFY(m->dirty());
    QCOMPARE(m_server.accessLog().size(), requests);
    QCOMPARE(readFile(quorvale::DraftStore::file(id)), draft);

    // Chosen: a plain backup of exactly the revision and the document, then the server's copy.
    const QString backup = m_home.filePath(QStringLiteral("respaldo.json"));
    m->setSavePanel([&](const QString &) { return backup; });
    const JSON mine = m->workspace();
    m->exportAndReload();
    QTRY_VERIFY_WITH_TIMEOUT(!m->busy(), 10000);
    QCOMPARE(JSON::decode(readFile(backup).toStdString()),
             JSON::object({{"revision", 0}, {"workspace", mine}}));
    QVERIFY(!m->dirty());
    QCOMPARE(m->workspace()["pages"].size(), 0u);
    QCOMPARE(errorOf(m->flushDraft()), QString());
    QVERIFY(!QFile::exists(quorvale::DraftStore::file(id)));
}

void ModelServerTest::selectingAPageLoadsItsRecordings()
{
    const QString id = newAccount(QStringLiteral("pages@example.test"));
    auto m = model(m_tokens[id]);
    QCOMPARE(errorOf(m->connect()), QString());
    m->newPage(QStringLiteral("document"), true);
    const QString meeting = qs(m->selectedPage().id());
    m->newPage(QStringLiteral("document"), false);
    const QString other = qs(m->selectedPage().id());
    QCOMPARE(errorOf(m->save()), QString());
    QCOMPARE(errorOf([](quorvale::Service *s, QString page) -> QCoro::Task<> {
                 co_await s->request(QStringLiteral("/api/recordings?pageId=") + page +
                                         QStringLiteral("&name=a.m4a&uploadId=u1"),
                                     "POST", QByteArray(4096, 'a'), QStringLiteral("audio/mp4"));
             }(&m->service(), meeting)),
             QString());

    // A view name clears the page's data and asks nothing of the server.
    const qsizetype before = m_server.accessLog().size();
    m->select(QStringLiteral("@meetings"));
    QVERIFY(m->recordings().empty());
    QCOMPARE(m_server.accessLog().size(), before);

    m->select(meeting);
    QTRY_COMPARE_WITH_TIMEOUT(m->recordings().size(), 1u, 10000);
    QCOMPARE(m->recordings()[0]["name"].stringValue(), std::string_view("a.m4a"));

    // Moving on before the answer: the earlier page's recordings never show on the later one.
    const qsizetype requests = m_server.accessLog().size();
    m->select(meeting);
    m->select(other);
    QTRY_VERIFY_WITH_TIMEOUT(m_server.accessLog().size() >= requests + 1, 10000);
    QTest::qWait(200); // let the earlier answer arrive too
    QVERIFY(m->recordings().empty());
    QCOMPARE(m->selection(), other);

    // An imported page also asks for its import resources, stored whole.
    QVERIFY(m_server.setListLayout(id, other, R"({"b1":{"indent":1,"number":4}})"));
    JSON workspace = m->workspace();
    workspace.member("pages").elements()[1].set("importBatchId", "batch-1");
    m->setWorkspace(workspace);
    m->select(other);
    QTRY_VERIFY_WITH_TIMEOUT(m->resources().isObject(), 10000);
    QCOMPARE(m->resources()["listLayout"]["b1"]["number"], JSON(4));
    QVERIFY(m->resources()["files"].isArray());
    QVERIFY2(m->message().isEmpty(), qPrintable(m->message()));
}

QTEST_GUILESS_MAIN(ModelServerTest)
#include "tst_modelserver.moc"
