#pragma once

// Signing in: the pages of the server's own identity provider, the exchange of a one-time code
// for a session, the caller's own account, and signing out.

#include "server/dispatcher.h"

#include <chrono>

namespace quorvale::server {

class AccountStore;
class SessionStore;

class AuthRoutes final
{
public:
    AuthRoutes(AccountStore &accounts, SessionStore &sessions, std::chrono::seconds codeLifetime);
    void registerWith(Dispatcher &dispatcher);

private:
    Reply signInForm(Call &call);
    Reply submitSignIn(Call &call);
    Reply exchangeCode(Call &call);
    Reply logout(Call &call);

    AccountStore &m_accounts;
    SessionStore &m_sessions;
    std::chrono::seconds m_codeLifetime;
};

} // namespace quorvale::server
