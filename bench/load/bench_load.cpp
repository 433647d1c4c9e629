// The reference server under load: 50 clients, each signed in to its own account, at once over
// loopback TLS, each saving its workspace on top of the revision it last had, reading it back
// and now and then uploading a small recording. Every answer is checked: a client's accepted
// revisions strictly increase, a read returns the last accepted content, and no answer carries
// another account's marker. The peer is the same clients against a TLS server on the same
// certificate, thread pool and keep-alive settings that answers at once and keeps nothing:
// the ratio is what the server's own work costs.
//   bench_load [seconds] [clients]

#include "common/benchresults.h"
#include "support/referenceserver.h"
#include "json/json.h"

#include <QCoreApplication>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int threadCount = 32; // the reference server's pool

struct Tally
{
    std::mutex lock;
    std::vector<double> latenciesMs;
    long long requests = 0;
    long long errors = 0;
    long long lostRevisions = 0;
    long long leaks = 0;

    void add(const std::vector<double> &latencies, long long e, long long lost, long long l)
    {
        const std::lock_guard guard(lock);
        latenciesMs.insert(latenciesMs.end(), latencies.begin(), latencies.end());
        requests += static_cast<long long>(latencies.size());
        errors += e;
        lostRevisions += lost;
        leaks += l;
    }
};

std::string marker(int client)
{
    char text[16];
    std::snprintf(text, sizeof text, "qvmark%03d", client);
    return text;
}

// Markers of other clients in body.
long long foreignMarkers(const std::string &body, const std::string &own)
{
    long long found = 0;
    for (auto at = body.find("qvmark"); at != std::string::npos; at = body.find("qvmark", at + 1))
        found += body.compare(at, own.size(), own) != 0;
    return found;
}

JSON parsed(const std::optional<std::string> &body)
{
    try {
        return JSON::decode(*body);
    } catch (const JSON::DecodeError &) {
        return {};
    }
}

// One client's loop until the deadline: save, read back, every fifth round upload and list.
void runClient(int index, const std::string &token, const std::string &caFile, int port,
               Clock::time_point deadline, Tally &tally)
{
    httplib::SSLClient client("localhost", port);
    client.set_ca_cert_path(caFile.c_str());
    client.enable_server_certificate_verification(true);
    client.set_keep_alive(true);
    client.set_read_timeout(60);
    const httplib::Headers auth{{"Authorization", "Bearer " + token}};
    const std::string own = marker(index);
    // Every account uses the same page id: an answer mixing accounts would show a foreign marker.
    const std::string pageId = "page-shared";

    std::vector<double> latencies;
    long long errors = 0;
    long long lost = 0;
    long long leaks = 0;
    const auto timed = [&](auto request) {
        const auto start = Clock::now();
        httplib::Result result = request();
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!result || result->status >= 300) {
            ++errors;
            return std::optional<std::string>();
        }
        leaks += foreignMarkers(result->body, own);
        return std::optional(result->body);
    };

    std::int64_t revision = 0;
    std::int64_t accepted = -1;
    std::string lastTitle;
    if (auto first = timed([&] { return client.Get("/api/workspace", auth); }))
        revision = parsed(first)["revision"].integerValue();
    for (int round = 0; Clock::now() < deadline; ++round) {
        const std::string title = own + " round " + std::to_string(round);
        JSON page = JSON::object({{"id", pageId}, {"title", title}, {"meeting", true}});
        const JSON save =
            JSON::object({{"revision", revision},
                          {"workspace", JSON::object({{"pages", JSON::array({page})}})}});
        if (auto saved = timed([&] {
                return client.Put("/api/workspace", auth, save.encode(), "application/json");
            })) {
            const std::int64_t next = parsed(saved)["revision"].integerValue(-1);
            lost += next <= accepted;
            accepted = std::max(accepted, next);
            revision = next;
            lastTitle = title;
        }
        if (auto read = timed([&] { return client.Get("/api/workspace", auth); })) {
            const JSON answer = parsed(read);
            const JSON &pages = answer["workspace"]["pages"];
            lost += answer["revision"].integerValue(-1) != accepted ||
                    pages.at(0)["title"].stringValue() != lastTitle;
        }
        if (round % 5 != 4)
            continue;
        const std::string path = "/api/recordings?pageId=" + pageId + "&name=" + own + "-" +
                                 std::to_string(round) + ".m4a";
        timed([&] { return client.Post(path, auth, std::string(8192, 'a'), "audio/mp4"); });
        timed([&] { return client.Get("/api/recordings?pageId=" + pageId, auth); });
    }
    tally.add(latencies, errors, lost, leaks);
}

struct Figures
{
    double rps = 0;
    double p99Ms = 0;
};

Figures runClients(const std::vector<std::string> &tokens, const std::string &caFile, int port,
                   double seconds, Tally &tally)
{
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < tokens.size(); ++i)
        clients.emplace_back(runClient, static_cast<int>(i), tokens[i], caFile, port, deadline,
                             std::ref(tally));
    for (auto &client : clients)
        client.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(tally.latenciesMs.begin(), tally.latenciesMs.end());
    Figures figures;
    figures.rps = static_cast<double>(tally.requests) / elapsed;
    if (!tally.latenciesMs.empty())
        figures.p99Ms = tally.latenciesMs[tally.latenciesMs.size() * 99 / 100];
    return figures;
}

// The peer: the same routes answered at once with a fixed body, nothing read or kept.
Figures runPeer(const QString &dataDir, const std::vector<std::string> &tokens,
                const std::string &caFile, double seconds)
{
    const std::string dir = dataDir.toStdString();
    httplib::SSLServer server((dir + "/server.pem").c_str(), (dir + "/server-key.pem").c_str());
    server.new_task_queue = [] { return new httplib::ThreadPool(threadCount); };
    server.set_keep_alive_max_count(100);
    server.set_tcp_nodelay(true);
    const auto answer = [](const httplib::Request &, httplib::Response &response) {
        response.set_content(R"({"revision":0,"workspace":{"pages":[]},"recordings":[]})",
                             "application/json");
    };
    server.Get(".*", answer);
    server.Put(".*", answer);
    server.Post(".*", answer);
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    // This version of the library has no readiness signal; the server is up within a moment.
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Tally tally;
    const Figures figures = runClients(tokens, caFile, port, seconds, tally);
    server.stop();
    serving.join();
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const int clientCount = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;

    test::ReferenceServer server;
    if (!server.start())
        return 1;
    // The first account made is the administrator; the clients are ordinary approved accounts.
    server.addAccount(QStringLiteral("admin@example.test"));
    std::vector<std::string> tokens;
    for (int i = 0; i < clientCount; ++i) {
        const QString id =
            server.addAccount(QStringLiteral("client%1@example.test").arg(i), QString());
        const QString token = id.isEmpty() || !server.setStatus(id, QStringLiteral("approved"))
                                  ? QString()
                                  : server.token(id);
        if (token.isEmpty()) {
            std::fprintf(stderr, "cannot make account %d\n", i);
            return 1;
        }
        tokens.push_back(token.toStdString());
    }
    const std::string caFile = server.caFile().toStdString();
    const std::string status = "/proc/" + std::to_string(server.processId()) + "/status";

    Tally tally;
    const Figures figures = runClients(tokens, caFile, server.port(), seconds, tally);
    const long long peakKb = bench::peakResidentKb(status);
    server.stop();

    const Figures peer = runPeer(server.dataDir(), tokens, caFile, std::min(seconds, 20.0));
    std::printf("requests=%lld; peer (no-work TLS server, same clients): rps=%.0f p99_ms=%.1f; "
                "server/peer rps ratio=%.2f\n",
                tally.requests, peer.rps, peer.p99Ms, figures.rps / peer.rps);
    std::printf("RESULT rps=%.0f p99_ms=%.1f peak_rss_mb=%.1f errors=%lld lost_revisions=%lld "
                "leaks=%lld\n",
                figures.rps, figures.p99Ms, static_cast<double>(peakKb) / 1024.0, tally.errors,
                tally.lostRevisions, tally.leaks);
    return tally.errors == 0 && tally.lostRevisions == 0 && tally.leaks == 0 ? 0 : 1;
}
