#include "server/util.h"

#include "server/text.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvale::server {

namespace {

[[noreturn]] void failErrno(const std::string &what, const std::filesystem::path &path)
{
    throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

std::tm utc(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

// Whatever the locale says.
bool isAsciiAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

std::string randomBytes(std::size_t count)
{
    std::string out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("the system's random source failed");
    return out;
}

std::string newId()
{
    std::string b = randomBytes(16);
    b[6] = static_cast<char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<char>((b[8] & 0x3f) | 0x80);
    const std::string hex = toHex(b);
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
           hex.substr(16, 4) + '-' + hex.substr(20);
}

std::string newToken()
{
    return base64Url(randomBytes(32));
}

std::string sha256(std::string_view data)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char *>(digest.data()), size);
}

std::string sha256Hex(std::string_view data)
{
    return toHex(sha256(data));
}

std::string base64(std::string_view data)
{
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(data.data()),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string base64Url(std::string_view data)
{
    std::string text = base64(data);
    for (char &c : text) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return text;
}

bool equalInConstantTime(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isPkceChallenge(std::string_view text)
{
    return text.size() == 43 && std::all_of(text.begin(), text.end(), [](char c) {
               return isAsciiAlphanumeric(c) || c == '-' || c == '_';
           });
}

bool verifierProves(std::string_view verifier, std::string_view challenge)
{
    const bool wellFormed =
        verifier.size() >= 43 && verifier.size() <= 128 &&
        std::all_of(verifier.begin(), verifier.end(), [](char c) {
            return isAsciiAlphanumeric(c) || c == '-' || c == '.' || c == '_' || c == '~';
        });
    // The digest is compared even for a malformed verifier, so that the answer takes as long.
    const bool matches = equalInConstantTime(base64Url(sha256(verifier)), challenge);
    return wellFormed && matches;
}

std::string isoTime(std::chrono::system_clock::time_point when)
{
    const std::tm tm = utc(when);
    std::array<char, 32> text{};
    const int n =
        std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(text.data(), static_cast<std::size_t>(std::max(n, 0)));
}

std::string isoNow()
{
    return isoTime(std::chrono::system_clock::now());
}

std::string mailDate(std::chrono::system_clock::time_point when)
{
    // Day and month names in English whatever the locale.
    static constexpr const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm tm = utc(when);
    std::array<char, 48> text{};
    const int n = std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d +0000",
                                days[tm.tm_wday % 7], tm.tm_mday, months[tm.tm_mon % 12],
                                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(text.data(), static_cast<std::size_t>(std::max(n, 0)));
}

void makePrivateDirectory(const std::filesystem::path &dir)
{
    std::filesystem::create_directories(dir);
    if (::chmod(dir.c_str(), 0700) != 0)
        failErrno("cannot protect", dir);
}

void writeFileAtomically(const std::filesystem::path &file, std::string_view contents, mode_t mode)
{
    std::filesystem::path temporary = file;
    temporary += ".tmp-" + newId();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        failErrno("cannot create", temporary);
    std::string failure;
    std::size_t written = 0;
    while (failure.empty() && written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failure = std::strerror(errno);
        else
            written += static_cast<std::size_t>(n);
    }
    if (failure.empty() && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0))
        failure = std::strerror(errno);
    ::close(fd);
    if (failure.empty() && ::rename(temporary.c_str(), file.c_str()) != 0)
        failure = std::strerror(errno);
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + file.string() + ": " + failure);
    }
    syncDirectory(file.parent_path());
}

std::string readFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    std::ostringstream out;
    out << in.rdbuf();
    return std::move(out).str();
}

void syncDirectory(const std::filesystem::path &dir)
{
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

FileLock::FileLock(const std::filesystem::path &file)
    : m_fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
{
    if (m_fd < 0)
        failErrno("cannot open", file);
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(m_fd);
            failErrno("cannot lock", file);
        }
    }
}

FileLock::~FileLock()
{
    ::close(m_fd);
}

} // namespace quorvale::server
