#include "server/commandline.h"

#include "server/certificates.h"
#include "server/httpserver.h"
#include "server/store.h"
#include "server/transcriber.h"
#include "server/util.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <pthread.h>
#include <thread>

namespace quorvale::server {

namespace {

constexpr const char *usage = R"(usage:
  quorvale-server [--data DIR] serve [--host 127.0.0.1] [--port 8443] [--code-ttl 300]
                                     [--import-ttl 86400]
                                     [--transcriber CMD] [--transcription-workers 2]
  quorvale-server [--data DIR] account add --email E [--name N] [--tenant T]
  quorvale-server [--data DIR] account approve|reject|block|promote ID
  quorvale-server [--data DIR] account list
  quorvale-server [--data DIR] token ID
  quorvale-server [--data DIR] notion add-file ID BATCH PATH FILE [--type TYPE]
  quorvale-server [--data DIR] notion set-layout ID PAGE JSON
  quorvale-server [--data DIR] notion list-files ID BATCH

The data directory defaults to $XDG_DATA_HOME/quorvale-server (~/.local/share/quorvale-server).
"promote" makes the account an approved administrator.
"notion add-file" stores a copy of FILE as the file at PATH (relative, as inside the export:
"Assets/diagram.png") of the import batch BATCH of account ID, and prints the new file's id;
the type follows PATH's extension unless --type gives it. "notion set-layout" stores the list
layout of the imported page PAGE: a JSON object {"<block id>": {"indent": n, "number": n}, …}.
"notion list-files" prints one JSON record per file of the batch.
--code-ttl is how many seconds a sign-in code stays valid (0 to 3600; 0 makes every code
expire at once, which tests use).
--import-ttl is how many seconds an uploaded Notion export waits for its commit (0 to 86400;
older ones are removed at start and whenever another is uploaded).
Recordings are transcribed in the background by --transcription-workers (1 to 16) at a time.
--transcriber replaces the built-in engine (pocketsphinx with its US English model): CMD is
run by /bin/sh with the path of a 16 kHz mono WAV file as its last argument, and prints
{"segments": [{"start": seconds, "end": seconds, "text": "..."}]} (or just the array); an
exit status other than 0 fails the transcription with the last line of its error output.
)";

struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::filesystem::path defaultDataDir()
{
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/')
        return std::filesystem::path(dataHome) / "quorvale-server";
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        throw UsageError("neither XDG_DATA_HOME nor HOME is set: pass --data DIR");
    return std::filesystem::path(home) / ".local/share/quorvale-server";
}

// Options of the form --name VALUE (or --name=VALUE) after the command words; positional
// words are kept in order.
struct Arguments
{
    std::vector<std::string> words;
    std::map<std::string, std::string> options;

    static Arguments parse(const std::vector<std::string> &arguments, std::size_t from)
    {
        Arguments result;
        for (std::size_t i = from; i < arguments.size(); ++i) {
            const std::string &argument = arguments[i];
            if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
                result.words.push_back(argument);
                continue;
            }
            const auto equals = argument.find('=');
            if (equals != std::string::npos) {
                result.options[argument.substr(2, equals - 2)] = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                result.options[argument.substr(2)] = arguments[++i];
            } else {
                throw UsageError(argument + " needs a value");
            }
        }
        return result;
    }

    std::optional<std::string> take(const std::string &name)
    {
        const auto it = options.find(name);
        if (it == options.end())
            return std::nullopt;
        std::string value = it->second;
        options.erase(it);
        return value;
    }

    void expect(std::size_t wordCount) const
    {
        if (words.size() != wordCount)
            throw UsageError("wrong number of arguments");
        if (!options.empty())
            throw UsageError("unknown option --" + options.begin()->first);
    }
};

// A whole number from 0 to max, or a usage error that says so.
long parseWhole(const std::string &text, long max, const std::string &problem)
{
    std::size_t used = 0;
    long value = -1;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception &) {
    }
    if (used != text.size() || value < 0 || value > max)
        throw UsageError(problem);
    return value;
}

// Makes the data directory usable: private, with certificates and the database schema. The
// lock keeps a serving process and a command started beside it from both doing the first run.
std::filesystem::path prepare(const std::filesystem::path &dataDir)
{
    makePrivateDirectory(dataDir);
    const FileLock lock(dataDir / ".lock");
    ensureCertificates(CertificateFiles::in(dataDir));
    Store store(dataDir);
    return dataDir;
}

void printAccount(std::ostream &out, Store &store, const Account &account)
{
    JSON record = store.accounts().administrationRecord(account);
    record.set("createdAt", account.createdAt);
    out << record.encode() << '\n';
}

int notion(Store &store, Arguments &rest, std::ostream &out)
{
    if (rest.words.empty())
        throw UsageError("notion needs a verb");
    const std::string verb = rest.words[0];
    if (verb == "add-file") {
        const std::string type = rest.take("type").value_or("");
        rest.expect(5);
        const auto &words = rest.words;
        out << store.imports().addFile(words[1], words[2], words[3], words[4], type).id
            << std::endl;
        return 0;
    }
    if (verb == "set-layout") {
        rest.expect(4);
        JSON layout;
        try {
            layout = JSON::decode(rest.words[3]);
        } catch (const JSON::DecodeError &e) {
            throw std::runtime_error(std::string("the layout is not JSON: ") + e.what());
        }
        store.imports().setListLayout(rest.words[1], rest.words[2], layout);
        return 0;
    }
    if (verb == "list-files") {
        rest.expect(3);
        if (!store.accounts().find(rest.words[1]))
            throw std::runtime_error("there is no account " + rest.words[1]);
        for (const auto &file : store.imports().files(rest.words[1], rest.words[2]))
            out << notionFileJson(file).encode() << '\n';
        out.flush();
        return 0;
    }
    throw UsageError("unknown notion verb " + verb);
}

struct TranscriptionOptions
{
    std::string command;
    int workers = Transcriber::defaultWorkers;
};

struct Lifetimes
{
    std::chrono::seconds code = HttpServer::defaultCodeLifetime;
    std::chrono::seconds import = ImportStore::defaultImportLifetime;
};

int serve(const std::filesystem::path &dataDir, const std::string &host, int port,
          const Lifetimes &lifetimes, const TranscriptionOptions &transcription, std::ostream &out,
          std::ostream &err)
{
    // Signals are taken by sigwait below rather than by a handler: stopping the server is not
    // something a signal handler may do. Threads made from here on inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Store store(dataDir);
    store.removeAbandonedUploads();
    store.imports().setImportLifetime(lifetimes.import);
    store.imports().removeExpiredImports();
    Transcriber transcriber(store, dataDir / "transcribing", transcription.command,
                            transcription.workers);
    HttpServer server(store, CertificateFiles::in(dataDir), dataDir / "access.log", lifetimes.code);
    const int bound = server.listen(host, port);
    out << "listening on https://localhost:" << bound << std::endl;

    std::atomic<bool> finished = false;
    std::atomic<bool> failed = false;
    const pthread_t mainThread = pthread_self();
    std::thread listener([&] {
        failed = !server.run();
        finished = true;
        // Wakes the main thread when the listener ends by itself.
        pthread_kill(mainThread, SIGTERM);
    });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    // Engines under way are ended and their work queued again for the next start.
    transcriber.stop();

    // Requests under way are answered. Idle keep-alive connections would hold the listener
    // for seconds; once nothing has been busy for a moment the process ends without them.
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    auto idleSince = std::chrono::steady_clock::now();
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        const auto now = std::chrono::steady_clock::now();
        if (server.busy() > 0)
            idleSince = now;
        else if (now - idleSince > 200ms)
            break;
        std::this_thread::sleep_for(5ms);
    }
    if (!finished) {
        out.flush();
        err.flush();
        std::_Exit(0);
    }
    listener.join();
    if (failed) {
        err << "quorvale-server: accepting connections failed" << std::endl;
        return 1;
    }
    return 0;
}

int run(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err)
{
    std::size_t next = 0;
    std::optional<std::filesystem::path> dataDir;
    while (next < arguments.size() && arguments[next].rfind("--data", 0) == 0) {
        const std::string &argument = arguments[next];
        if (argument.rfind("--data=", 0) == 0) {
            dataDir = argument.substr(7);
            ++next;
        } else if (argument == "--data" && next + 1 < arguments.size()) {
            dataDir = arguments[next + 1];
            next += 2;
        } else {
            throw UsageError("--data needs a directory");
        }
    }
    if (next >= arguments.size())
        throw UsageError("no command");
    const std::string command = arguments[next];
    if (command == "help" || command == "--help" || command == "-h") {
        out << usage;
        return 0;
    }
    Arguments rest = Arguments::parse(arguments, next + 1);
    if (command != "serve" && command != "account" && command != "token" && command != "notion")
        throw UsageError("unknown command " + command);
    if (dataDir && dataDir->empty())
        throw UsageError("--data needs a directory");
    const auto dir = prepare(std::filesystem::absolute(dataDir ? *dataDir : defaultDataDir()));

    if (command == "serve") {
        const std::string host = rest.take("host").value_or("127.0.0.1");
        const auto port = static_cast<int>(parseWhole(rest.take("port").value_or("8443"), 65535,
                                                      "the port must be a number from 0 to 65535"));
        Lifetimes lifetimes;
        if (const auto code = rest.take("code-ttl"))
            lifetimes.code = std::chrono::seconds(
                parseWhole(*code, 3600, "--code-ttl must be a number of seconds from 0 to 3600"));
        if (const auto import = rest.take("import-ttl"))
            lifetimes.import = std::chrono::seconds(parseWhole(
                *import, 86400, "--import-ttl must be a number of seconds from 0 to 86400"));
        TranscriptionOptions transcription;
        transcription.command = rest.take("transcriber").value_or("");
        if (const auto workers = rest.take("transcription-workers"))
            transcription.workers = static_cast<int>(
                parseWhole(*workers, 16, "--transcription-workers must be a number from 1 to 16"));
        if (transcription.workers < 1)
            throw UsageError("--transcription-workers must be a number from 1 to 16");
        rest.expect(0);
        return serve(dir, host, port, lifetimes, transcription, out, err);
    }

    Store store(dir);
    if (command == "token") {
        rest.expect(1);
        out << store.sessions().createToken(rest.words[0]) << std::endl;
        return 0;
    }
    if (command == "notion")
        return notion(store, rest, out);
    if (rest.words.empty())
        throw UsageError("account needs a verb");
    const std::string verb = rest.words[0];
    if (verb == "add") {
        const auto email = rest.take("email");
        if (!email)
            throw UsageError("account add needs --email");
        const std::string name = rest.take("name").value_or("");
        const std::string tenant = rest.take("tenant").value_or("local");
        rest.expect(1);
        out << store.accounts().add(*email, name, tenant).id << std::endl;
        return 0;
    }
    if (verb == "list") {
        rest.expect(1);
        for (const auto &account : store.accounts().list())
            printAccount(out, store, account);
        out.flush();
        return 0;
    }
    static const std::map<std::string, std::string> statuses = {
        {"approve", "approved"}, {"reject", "rejected"}, {"block", "blocked"}};
    if (verb == "promote") {
        rest.expect(2);
        store.accounts().promote(rest.words[1]);
        return 0;
    }
    if (const auto status = statuses.find(verb); status != statuses.end()) {
        rest.expect(2);
        store.accounts().setStatus(rest.words[1], status->second);
        return 0;
    }
    throw UsageError("unknown account verb " + verb);
}

} // namespace

int runCommandLine(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err)
{
    try {
        return run(arguments, out, err);
    } catch (const UsageError &e) {
        err << "quorvale-server: " << e.what() << "\n\n" << usage;
        return 2;
    } catch (const std::exception &e) {
        err << "quorvale-server: " << e.what() << std::endl;
        return 1;
    }
}

} // namespace quorvale::server
