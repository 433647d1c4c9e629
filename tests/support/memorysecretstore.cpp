#include "memorysecretstore.h"

namespace quorvale {

SecretStore::Lookup MemorySecretStore::find(const std::string &service, const std::string &account)
{
    const std::lock_guard lock(m_mutex);
    if (m_locked)
        return {Outcome::Unavailable, {}};
    const auto it = m_items.find({service, account});
    if (it == m_items.end())
        return {Outcome::NotFound, {}};
    return {Outcome::Found, it->second.data};
}

bool MemorySecretStore::store(const std::string &service, const std::string &account,
                              const std::string &label, const Bytes &data)
{
    const std::lock_guard lock(m_mutex);
    if (m_locked || m_refusingStores)
        return false;
    m_items[{service, account}] = Item{label, data};
    return true;
}

bool MemorySecretStore::remove(const std::string &service, const std::string &account)
{
    const std::lock_guard lock(m_mutex);
    if (m_locked)
        return false;
    m_items.erase({service, account});
    return true;
}

} // namespace quorvale
