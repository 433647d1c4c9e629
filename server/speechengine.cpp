#include "server/speechengine.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace quorvale::server {

namespace {

constexpr const char *modelDir = "/usr/share/pocketsphinx/model/en-us";
constexpr std::size_t maxOutputBytes = std::size_t{16} << 20;
constexpr std::size_t keptErrorBytes = 4096;
constexpr double pauseSeconds = 0.3;
constexpr double longSegmentSeconds = 15;

struct Outcome
{
    int waitStatus = 0;
    std::string out;
    std::string err; // the end of it
};

class Pipe final
{
public:
    Pipe()
    {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            throw EngineError(std::string("cannot start the transcriber: ") + std::strerror(errno));
    }
    ~Pipe()
    {
        closeEnd(0);
        closeEnd(1);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int readEnd() const { return m_fds[0]; }
    int writeEnd() const { return m_fds[1]; }
    void closeEnd(int end)
    {
        if (m_fds[end] >= 0)
            ::close(m_fds[end]);
        m_fds[end] = -1;
    }

private:
    int m_fds[2] = {-1, -1};
};

// Runs argv in a process group of its own, so that a time-out ends whatever it started too.
// Its output is collected; stdin is empty.
Outcome run(const std::vector<std::string> &arguments, std::chrono::milliseconds limit,
            const std::atomic<bool> &cancelled)
{
    Pipe out;
    Pipe err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd(), 2);
    // The server's sockets are not the engine's business, nor should it keep a port open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The server blocks its stop signals and ignores SIGPIPE; the engine starts afresh.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    std::vector<char *> argv;
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        throw EngineError("cannot start the transcriber " + arguments[0] + ": " +
                          std::strerror(spawned));
    out.closeEnd(1);
    err.closeEnd(1);

    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto kill = [&](const std::string &why) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        if (cancelled)
            throw EngineCancelled();
        throw EngineError(why);
    };
    auto check = [&] {
        if (cancelled)
            kill("");
        if (std::chrono::steady_clock::now() >= deadline)
            kill("the transcriber took longer than " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
                 " s and was stopped");
    };
    // Short waits, so that a stop of the server is noticed quickly.
    constexpr int step = 100;
    bool outOpen = true;
    bool errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        check();
        pollfd fds[2] = {{out.readEnd(), POLLIN, 0}, {err.readEnd(), POLLIN, 0}};
        if (!outOpen)
            fds[0].fd = -1;
        if (!errOpen)
            fds[1].fd = -1;
        if (::poll(fds, 2, step) < 0 && errno != EINTR)
            kill(std::string("waiting for the transcriber failed: ") + std::strerror(errno));
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            std::string &target = i == 0 ? outcome.out : outcome.err;
            target.append(buffer, static_cast<std::size_t>(got));
            if (i == 0 && target.size() > maxOutputBytes)
                kill("the transcriber printed more than 16 MiB");
            if (i == 1 && target.size() > 2 * keptErrorBytes)
                target.erase(0, target.size() - keptErrorBytes);
        }
    }
    while (true) {
        const pid_t done = ::waitpid(pid, &outcome.waitStatus, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            throw EngineError(std::string("waiting for the transcriber failed: ") +
                              std::strerror(errno));
        check();
        ::poll(nullptr, 0, step);
    }
    return outcome;
}

// The last non-empty line of what the engine wrote to its error output.
std::string lastLine(const std::string &text)
{
    std::string line;
    std::istringstream lines(text);
    for (std::string next; std::getline(lines, next);) {
        if (next.find_first_not_of(" \t\r") != std::string::npos)
            line = next;
    }
    if (line.size() > 300)
        line = line.substr(0, 300) + "…";
    return line;
}

bool isFiller(const std::string &word)
{
    return word.empty() || word == "<s>" || word == "</s>" || word == "<sil>" ||
           word.front() == '[' || word.rfind("++", 0) == 0;
}

JSON segment(double start, double end, const std::string &text)
{
    return JSON::object({{"start", start}, {"end", end}, {"text", text}});
}

} // namespace

SpeechEngine::SpeechEngine(std::string command)
    : m_command(std::move(command))
{}

JSON SpeechEngine::transcribe(const std::filesystem::path &wav, std::chrono::milliseconds limit,
                              const std::atomic<bool> &cancelled) const
{
    const bool builtIn = m_command.empty();
    const std::string dir = modelDir;
    // The path goes in as an argument of its own, never through the shell's parsing.
    const std::vector<std::string> arguments =
        builtIn
            ? std::vector<std::string>{"pocketsphinx_continuous",
                                       "-infile",
                                       wav.string(),
                                       "-time",
                                       "yes",
                                       "-hmm",
                                       dir + "/en-us",
                                       "-lm",
                                       dir + "/en-us.lm.bin",
                                       "-dict",
                                       dir + "/cmudict-en-us.dict",
                                       "-logfn",
                                       "/dev/null"}
            : std::vector<std::string>{"/bin/sh", "-c", m_command + " \"$1\"", "sh", wav.string()};
    const Outcome outcome = run(arguments, limit, cancelled);
    if (!WIFEXITED(outcome.waitStatus) || WEXITSTATUS(outcome.waitStatus) != 0) {
        std::string why = WIFEXITED(outcome.waitStatus)
                              ? "the transcriber exited with status " +
                                    std::to_string(WEXITSTATUS(outcome.waitStatus))
                              : "the transcriber was killed by signal " +
                                    std::to_string(WTERMSIG(outcome.waitStatus));
        if (const std::string line = lastLine(outcome.err); !line.empty())
            why += ": " + line;
        throw EngineError(why);
    }
    return builtIn ? parsePocketsphinx(outcome.out) : parseSegments(outcome.out);
}

JSON SpeechEngine::parsePocketsphinx(std::string_view output)
{
    // Each utterance is its hypothesis on a line, then one "word start end confidence" line
    // per word, from <s> to </s>.
    JSON segments = JSON::array();
    std::string text;
    double start = -1;
    double end = 0;
    auto close = [&] {
        if (!text.empty())
            segments.append(segment(start, end, text));
        text.clear();
        start = -1;
    };
    std::istringstream lines{std::string(output)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word;
        double wordStart = 0;
        double wordEnd = 0;
        double confidence = 0;
        std::string rest;
        if (!(fields >> word >> wordStart >> wordEnd >> confidence) || (fields >> rest))
            continue;
        if (word == "<s>") {
            close();
            continue;
        }
        if (word == "</s>") {
            close();
            continue;
        }
        // A pause, or any silence once a segment runs long, starts a new segment: utterances
        // of continuous speech last minutes, too long to find a passage by its time.
        if (word == "<sil>" && !text.empty() &&
            (wordEnd - wordStart >= pauseSeconds || wordStart - start >= longSegmentSeconds)) {
            close();
            continue;
        }
        // Alternative pronunciations are marked "word(2)".
        if (const auto mark = word.find('('); mark != std::string::npos && mark > 0)
            word.erase(mark);
        if (isFiller(word))
            continue;
        if (start < 0)
            start = wordStart;
        end = wordEnd;
        text += (text.empty() ? "" : " ") + word;
    }
    close();
    return JSON::object({{"segments", segments}});
}

JSON SpeechEngine::parseSegments(std::string_view output)
{
    JSON value;
    try {
        value = JSON::decode(output);
    } catch (const JSON::DecodeError &e) {
        throw EngineError(std::string("the transcriber's output is not JSON: ") + e.what());
    }
    const JSON &list = value.isArray() ? value : value["segments"];
    if (!list.isArray())
        throw EngineError("the transcriber's output has no \"segments\" array");
    JSON segments = JSON::array();
    for (const JSON &item : list.arrayValue()) {
        if (!item["start"].isNumber() || !item["text"].isString())
            throw EngineError("a segment of the transcriber lacks a numeric \"start\" or a "
                              "\"text\"");
        const double start = item["start"].numberValue();
        segments.append(segment(start, item["end"].numberValue(start),
                                std::string(item["text"].stringValue())));
    }
    return JSON::object({{"segments", segments}});
}

} // namespace quorvale::server
