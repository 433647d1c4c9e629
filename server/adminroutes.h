#pragma once

// Administration: the accounts with their versions and latest notification, changes of an
// account's access on the version read, and another try at pending notification e-mails.

#include "server/dispatcher.h"

namespace quorvale::server {

class AccountStore;
class Outbox;

class AdminRoutes final
{
public:
    AdminRoutes(AccountStore &accounts, Outbox &outbox);
    void registerWith(Dispatcher &dispatcher);

private:
    Reply accounts(Call &call);
    Reply changeAccount(Call &call);
    Reply retryNotifications(Call &call);

    AccountStore &m_accounts;
    Outbox &m_outbox;
};

} // namespace quorvale::server
