#pragma once

// The system keychain, as items found by service and account. A lookup tells "no such item"
// apart from "the keychain cannot answer" (locked, absent, refused), because callers create a
// fresh item on the first and must never do so on the second.
//
// Plain C++ on purpose: the libsecret implementation cannot include Qt headers.

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorvale {

class SecretStore
{
public:
    using Bytes = std::vector<unsigned char>;

    enum class Outcome {
        Found,
        NotFound,
        Unavailable, // locked, no keychain service, access refused: the item may well exist
    };

    struct Lookup
    {
        Outcome outcome = Outcome::Unavailable;
        Bytes data; // the item's bytes, when found
    };

    SecretStore() = default;
    SecretStore(const SecretStore &) = delete;
    SecretStore &operator=(const SecretStore &) = delete;
    virtual ~SecretStore() = default;

    virtual Lookup find(const std::string &service, const std::string &account) = 0;
    // Adds the item, or replaces the one with the same service and account; true when the
    // keychain holds it afterwards.
    virtual bool store(const std::string &service, const std::string &account,
                       const std::string &label, const Bytes &data) = 0;
    // Deletes the item; true when no such item remains (including when there was none).
    virtual bool remove(const std::string &service, const std::string &account) = 0;

    // The keychain of this system: the Secret Service (libsecret) on Linux, the Security
    // framework on macOS. Items go to the default collection, readable only while it is
    // unlocked.
    static std::unique_ptr<SecretStore> system();
};

} // namespace quorvale
