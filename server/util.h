#pragma once

// Small pieces the reference server shares: its refusal type, random identifiers and tokens,
// hashes, timestamps and private files.

#include "server/nocopy.h"
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quorvale::server {

// A request the server refuses: the HTTP status and the text of the {"error"} body. The command
// line prints the text and exits with a failure.
class Refusal : public std::runtime_error
{
public:
    Refusal(int status, const std::string &message)
        : std::runtime_error(message)
        , m_status(status)
    {}
    int status() const { return m_status; }

private:
    int m_status;
};

std::string randomBytes(std::size_t count);
// A random version-4 UUID in lower case.
std::string newId();
// 256 random bits, base64url without padding.
std::string newToken();
// The 32 bytes of the digest.
std::string sha256(std::string_view data);
std::string sha256Hex(std::string_view data);
std::string base64(std::string_view data);
// Base64 with "-" and "_" for "+" and "/", without padding (RFC 4648).
std::string base64Url(std::string_view data);
// Compares in a time that depends on the lengths only, never on where the texts differ.
bool equalInConstantTime(std::string_view a, std::string_view b);

// Proof keys (RFC 7636, method S256). A challenge is 43 characters of base64url; a verifier
// proves it when it is 43 to 128 unreserved characters whose SHA-256, in base64url, is the
// challenge. The comparison takes constant time.
bool isPkceChallenge(std::string_view text);
bool verifierProves(std::string_view verifier, std::string_view challenge);

// ISO 8601 in UTC with whole seconds and "Z".
std::string isoTime(std::chrono::system_clock::time_point when);
std::string isoNow();
// The date form of e-mail headers (RFC 5322), in UTC.
std::string mailDate(std::chrono::system_clock::time_point when);

// Creates the directory (and its parents) and makes it private (0700).
void makePrivateDirectory(const std::filesystem::path &dir);
// Writes a file through a temporary beside it, synced, then renamed into place, so a reader
// never sees half a file.
void writeFileAtomically(const std::filesystem::path &file, std::string_view contents,
                         mode_t mode = 0600);
std::string readFile(const std::filesystem::path &file);
// Makes a rename or a new file durable.
void syncDirectory(const std::filesystem::path &dir);

// An exclusive advisory lock on a file, held while the object lives. Serialises first-run
// set-up between a serving process and command-line invocations on the same data directory.
class FileLock final
{
public:
    explicit FileLock(const std::filesystem::path &file);
    ~FileLock();
    QV_NO_COPY(FileLock)

private:
    int m_fd = -1;
};

} // namespace quorvale::server
