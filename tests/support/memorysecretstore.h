#pragma once

// A keychain held in memory, for the tests of code that uses one.

#include "service/secretstore.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace quorvale {

// It can be told to act as a locked keychain or as one that refuses new items. It can be told to
// act as a locked keychain, or as one that refuses new items. Usable from several threads, like the
// system's.
class MemorySecretStore final : public SecretStore
{
public:
    Lookup find(const std::string &service, const std::string &account) override;
    bool store(const std::string &service, const std::string &account, const std::string &label,
               const Bytes &data) override;
    bool remove(const std::string &service, const std::string &account) override;

    // While locked, lookups are Unavailable and nothing is stored or removed; items are kept.
    void setLocked(bool locked) { m_locked = locked; }
    // While refusing, store fails; lookups and removals still work.
    void setRefusingStores(bool refusing) { m_refusingStores = refusing; }

    std::size_t size() const
    {
        const std::lock_guard lock(m_mutex);
        return m_items.size();
    }

private:
    struct Item
    {
        std::string label;
        Bytes data;
    };

    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Item> m_items;
    std::atomic_bool m_locked = false;
    std::atomic_bool m_refusingStores = false;
};

} // namespace quorvale
