#include "server/routes.h"

#include "server/store.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

// Administration: the accounts with their versions and latest notification, changes of an
// account's access on the version read, and another try at pending notification e-mails.
class AdminRoutes final : public Routes
{
public:
    using Routes::Routes;

    void registerWith(Dispatcher &dispatcher) override
    {
        dispatcher.guard("/api/admin", Access::Administrator);
        route(dispatcher, "GET", "/api/admin/accounts", Access::Administrator, this,
              &AdminRoutes::accounts);
        route(dispatcher, "POST", "/api/admin/accounts/{}", Access::Administrator, this,
              &AdminRoutes::changeAccount);
        route(dispatcher, "POST", "/api/admin/notifications/retry", Access::Administrator, this,
              &AdminRoutes::retryNotifications);
    }

private:
    Reply accounts(Call &)
    {
        JSON list = JSON::array();
        for (const auto &account : m_store.accounts().list())
            list.append(m_store.accounts().administrationRecord(account));
        return Reply::json(200, JSON::object({{"accounts", list}}));
    }

    Reply changeAccount(Call &call)
    {
        const JSON body = call.exchange.readJsonObject();
        const std::string status(body["status"].stringValue());
        if (status != "approved" && status != "rejected" && status != "blocked")
            throw Refusal(400, "\"status\" must be \"approved\", \"rejected\" or \"blocked\"");
        const Account changed = m_store.accounts().changeStatusAsAdministrator(
            call.captures[0], status, body["version"]);
        call.exchange.change = JSON::object({{"account", changed.id},
                                             {"status", changed.status},
                                             {"version", changed.version},
                                             {"by", call.account().id}});
        return Reply::json(
            200, JSON::object({{"account", m_store.accounts().administrationRecord(changed)}}));
    }

    Reply retryNotifications(Call &call)
    {
        call.exchange.discardBody();
        const auto delivered = static_cast<std::int64_t>(m_store.outbox().deliverPending());
        call.exchange.change = JSON::object({{"delivered", delivered}, {"by", call.account().id}});
        return Reply::json(200, JSON::object({{"delivered", delivered}}));
    }
};

} // namespace

std::unique_ptr<Routes> makeAdminRoutes(Store &store)
{
    return std::make_unique<AdminRoutes>(store);
}

} // namespace quorvale::server
