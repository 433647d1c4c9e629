#include "server/routes.h"

#include "server/signin.h"
#include "server/store.h"
#include "server/text.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr std::size_t maxFormBytes = 16 * 1024;

// Signing in: the pages of the server's own identity provider, the exchange of a one-time code
// for a session, the caller's own account, and signing out.
class AuthRoutes final : public Routes
{
public:
    AuthRoutes(Store &store, std::chrono::seconds codeLifetime)
        : Routes(store)
        , m_codeLifetime(codeLifetime)
    {}

    void registerWith(Dispatcher &dispatcher) override
    {
        route(dispatcher, "GET", "/auth/login", Access::Anyone, this, &AuthRoutes::signInForm);
        route(dispatcher, "POST", "/auth/login", Access::Anyone, this, &AuthRoutes::submitSignIn);
        route(dispatcher, "POST", "/auth/native/exchange", Access::Anyone, this,
              &AuthRoutes::exchangeCode);
        dispatcher.add("GET", "/auth/me", Access::Session, [](Call &c) {
            return Reply::json(200, JSON::object({{"account", accountJson(c.account())}}));
        });
        route(dispatcher, "POST", "/auth/logout", Access::Session, this, &AuthRoutes::logout);
    }

private:
    Reply signInForm(Call &call)
    {
        SignInForm form;
        form.challenge = call.parameter("challenge");
        form.appState = call.parameter("app_state");
        if (!hasUsableLink(form))
            return Reply::ofPage(400, errorPage(signInLinkProblem));
        return Reply::ofPage(200, signInPage(form));
    }

    Reply submitSignIn(Call &call)
    {
        Exchange &exchange = call.exchange;
        if (!hasMediaType(exchange.request.get_header_value("Content-Type"),
                          "application/x-www-form-urlencoded"))
            return Reply::ofPage(400, errorPage(unreadableSignInForm));
        auto fields = parseFormBody(exchange.readText(maxFormBytes, unreadableSignInForm));
        SignInForm form;
        form.challenge = fields["challenge"];
        form.appState = fields["app_state"];
        form.name = trimmed(fields["name"]);
        form.email = trimmed(fields["email"]);
        if (!hasUsableLink(form))
            return Reply::ofPage(400, errorPage(signInLinkProblem));
        if (const auto problem = formProblem(form))
            return Reply::ofPage(400, signInPage(form, *problem));

        // Blocked and rejected accounts sign in too: the application shows them their status.
        const Account account = m_store.accounts().forSignIn(form.email, form.name);
        const std::string code =
            m_store.sessions().createSignInCode(account.id, form.challenge, m_codeLifetime);
        const std::string url = callbackUrl(form.appState, code);
        return Reply::ofPage(302, handOverPage(url), url);
    }

    Reply exchangeCode(Call &call)
    {
        const JSON body = call.exchange.readJsonObject();
        const JSON &code = body["code"];
        const JSON &verifier = body["verifier"];
        if (!code.isString())
            throw Refusal(400, "\"code\" and \"verifier\" must be strings");
        // Any attempt with a code uses it up, even one without a verifier.
        const auto token =
            m_store.sessions().redeemSignInCode(code.stringValue(), verifier.stringValue());
        if (!verifier.isString())
            throw Refusal(400, "\"code\" and \"verifier\" must be strings");
        // One answer for an unknown, used, expired or unproven code: none tells which.
        if (!token)
            throw Refusal(400, "the sign-in code is not valid; sign in again");
        return Reply::json(200, JSON::object({{"token", *token}}));
    }

    Reply logout(Call &call)
    {
        m_store.sessions().revokeToken(call.exchange.bearerToken());
        return {};
    }

    std::chrono::seconds m_codeLifetime;
};

} // namespace

std::unique_ptr<Routes> makeAuthRoutes(Store &store, std::chrono::seconds codeLifetime)
{
    return std::make_unique<AuthRoutes>(store, codeLifetime);
}

} // namespace quorvale::server
