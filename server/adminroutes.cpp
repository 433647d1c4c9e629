#include "server/adminroutes.h"

#include "server/accountstore.h"
#include "server/outbox.h"
#include "server/util.h"

namespace quorvale::server {

AdminRoutes::AdminRoutes(AccountStore &accounts, Outbox &outbox)
    : m_accounts(accounts)
    , m_outbox(outbox)
{}

void AdminRoutes::registerWith(Dispatcher &dispatcher)
{
    dispatcher.guard("/api/admin", Access::Administrator);
    dispatcher.add("GET", "/api/admin/accounts", Access::Administrator,
                   [this](Call &c) { return accounts(c); });
    dispatcher.add("POST", "/api/admin/accounts/{}", Access::Administrator,
                   [this](Call &c) { return changeAccount(c); });
    dispatcher.add("POST", "/api/admin/notifications/retry", Access::Administrator,
                   [this](Call &c) { return retryNotifications(c); });
}

Reply AdminRoutes::accounts(Call &)
{
    JSON list = JSON::array();
    for (const auto &account : m_accounts.list())
        list.append(m_accounts.administrationRecord(account));
    return Reply::json(200, JSON::object({{"accounts", list}}));
}

Reply AdminRoutes::changeAccount(Call &call)
{
    const JSON body = call.exchange.readJsonObject();
    const std::string status(body["status"].stringValue());
    if (status != "approved" && status != "rejected" && status != "blocked")
        throw Refusal(400, "\"status\" must be \"approved\", \"rejected\" or \"blocked\"");
    const Account changed =
        m_accounts.changeStatusAsAdministrator(call.captures[0], status, body["version"]);
    return Reply::json(200, JSON::object({{"account", m_accounts.administrationRecord(changed)}}));
}

Reply AdminRoutes::retryNotifications(Call &call)
{
    call.exchange.discardBody();
    const auto delivered = static_cast<std::int64_t>(m_outbox.deliverPending());
    return Reply::json(200, JSON::object({{"delivered", delivered}}));
}

} // namespace quorvale::server
