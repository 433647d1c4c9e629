// The keystroke path on a 5 MB workspace: updateBlock and the encrypted draft it writes on the
// draft writer's thread, with the real cipher, a keyring-style key and a real durable write,
// against the floor of encoding, sealing and writing the same document without the model; and
// what typing costs the main thread, and how long until the draft holds each keystroke.

#include "common/workspacegenerator.h"
#include "draftstore/draftstore.h"
#include "model/workspacemodel.h"
#include "support/memorysecretstore.h"
#include "support/referenceserver.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

using quorvale::JSON;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[i];
}

QCoro::Task<> connectModel(quorvale::WorkspaceModel *model, bool *done)
{
    co_await model->connect();
    *done = true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    const int keystrokes = argc > 1 ? std::atoi(argv[1]) : 1000;

    // A signed-in model: drafts are kept only for an account.
    quorvale::test::ReferenceServer server;
    if (!server.start())
        return 1;
    const QString account = server.addAccount(QStringLiteral("bench@example.test"));
    auto model = std::make_unique<quorvale::WorkspaceModel>(
        std::make_unique<quorvale::MemorySecretStore>(), server.origin(),
        QSslCertificate::fromPath(server.caFile()));
    model->service().setToken(server.token(account));
    bool connected = false;
    connectModel(model.get(), &connected);
    if (!QTest::qWaitFor([&] { return connected; }, 30000) || !model->approved())
        return 1;

    const std::string text = quorvale::bench::generateWorkspace();
    model->setWorkspace(JSON::decode(text));
    std::printf("workspace: %.2f MB, %d keystrokes\n", static_cast<double>(text.size()) / 1e6,
                keystrokes);
    const JSON &page = model->workspace()["pages"].at(1000);
    const std::string pageId(page.id());
    const std::string blockId(page["blocks"].at(10).id());

    std::vector<Clock::time_point> kept;
    QObject::connect(model.get(), &quorvale::WorkspaceModel::draftKept,
                     [&] { kept.push_back(Clock::now()); });
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };

    // One keystroke at a time, each waited for until its draft is durable: the whole path.
    std::vector<double> typing;
    std::string typed = "Notas de la reunión: ";
    for (int i = 0; i < keystrokes; ++i) {
        typed.push_back(static_cast<char>('a' + i % 26));
        const std::size_t before = kept.size();
        const auto start = Clock::now();
        model->updateBlock(pageId, blockId, "text", typed);
        if (!QTest::qWaitFor([&] { return kept.size() > before; }, 10000))
            return 1;
        typing.push_back(ms(kept.back() - start));
    }

    // Typing faster than anyone does (a key every 20 ms): what each keystroke costs the main
    // thread, and how long until a draft holding it is on disk.
    std::vector<double> mainThread;
    std::map<quint64, Clock::time_point> stored;
    QObject::connect(model.get(), &quorvale::WorkspaceModel::draftStored,
                     [&](quint64 number) { stored.emplace(number, Clock::now()); });
    std::vector<std::pair<quint64, Clock::time_point>> asked;
    const int cadenceKeys = std::max(50, keystrokes / 2);
    for (int i = 0; i < cadenceKeys; ++i) {
        typed.push_back(static_cast<char>('a' + i % 26));
        const auto start = Clock::now();
        model->updateBlock(pageId, blockId, "text", typed);
        mainThread.push_back(ms(Clock::now() - start));
        asked.emplace_back(model->draftNumber(), start);
        QTest::qWait(20);
    }
    if (!QTest::qWaitFor([&] { return model->editsKept(); }, 30000))
        return 1;
    std::vector<double> lag;
    for (const auto &[number, at] : asked) {
        // The first draft on disk holding this keystroke: its own, or a newer one.
        const auto durable = stored.lower_bound(number);
        if (durable == stored.end())
            return 1;
        lag.push_back(ms(durable->second - at));
    }
    if (!model->message().isEmpty()) {
        std::printf("error: %s\n", qPrintable(model->message()));
        return 1;
    }

    // The floor: the same payload encoded, sealed and written durably, with no model around.
    quorvale::MemorySecretStore secrets;
    quorvale::DraftStore store(secrets);
    const JSON payload =
        JSON::object({{"revision", model->revision()}, {"workspace", model->workspace()}});
    std::vector<double> floor;
    const int floorRuns = std::max(20, keystrokes / 5);
    for (int i = 0; i < floorRuns; ++i) {
        const auto start = Clock::now();
        store.forget(); // the whole document encoded each time
        store.save(payload, QStringLiteral("floor"));
        floor.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }

    const double p50 = percentile(typing, 0.50);
    const double p95 = percentile(typing, 0.95);
    const double floorP50 = percentile(floor, 0.50);
    std::printf("keystroke p99 %.2f ms, max %.2f ms; floor p95 %.2f ms; main thread max %.2f ms; "
                "durable lag max %.2f ms\n",
                percentile(typing, 0.99), percentile(typing, 1.0), percentile(floor, 0.95),
                percentile(mainThread, 1.0), percentile(lag, 1.0));
    std::printf("RESULT keystroke_p50_ms=%.2f keystroke_p95_ms=%.2f floor_p50_ms=%.2f "
                "ratio_p50=%.2f main_thread_p95_ms=%.2f durable_lag_p95_ms=%.2f\n",
                p50, p95, floorP50, p50 / floorP50, percentile(mainThread, 0.95),
                percentile(lag, 0.95));
    return 0;
}
