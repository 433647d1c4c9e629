#include "server/dispatcher.h"

#include "server/sessionstore.h"
#include "server/util.h"

#include <algorithm>

namespace quorvale::server {

namespace {

bool methodMatches(const std::string &wanted, const std::string &method)
{
    return wanted == "*" || wanted == method || (wanted == "GET" && method == "HEAD");
}

// The captures when the path matches the pattern.
std::optional<std::vector<std::string>> match(const std::vector<std::string> &pattern,
                                              const std::vector<std::string> &path)
{
    std::vector<std::string> captures;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == "*" && i + 1 == pattern.size())
            return path.size() > i ? std::optional(captures) : std::nullopt;
        if (i >= path.size())
            return std::nullopt;
        if (pattern[i] == "{}")
            captures.push_back(path[i]);
        else if (pattern[i] != path[i])
            return std::nullopt;
    }
    return path.size() == pattern.size() ? std::optional(captures) : std::nullopt;
}

} // namespace

Reply notBuiltYet(Call &)
{
    throw Refusal(501, "this call is not available on this server yet");
}

Dispatcher::Dispatcher(SessionStore &sessions)
    : m_sessions(sessions)
{}

Dispatcher::Segments Dispatcher::segments(std::string_view path)
{
    Segments parts;
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    while (true) {
        const auto slash = path.find('/');
        parts.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos)
            return parts;
        path.remove_prefix(slash + 1);
    }
}

void Dispatcher::guard(std::string_view prefix, Access access)
{
    m_guards.push_back({segments(prefix), access});
}

void Dispatcher::add(std::string method, std::string_view pattern, Access access, Handler handler)
{
    m_routes.push_back({std::move(method), segments(pattern), access, std::move(handler)});
}

std::optional<Account> Dispatcher::authorize(const Exchange &exchange, Access access) const
{
    if (access == Access::Anyone)
        return std::nullopt;
    const std::string token = exchange.bearerToken();
    if (token.empty())
        throw Refusal(401, "sign-in required");
    auto account = m_sessions.accountForToken(token);
    if (!account)
        throw Refusal(401, "the session is not valid");
    if (access >= Access::Approved && account->status != "approved")
        throw Refusal(403, "this account is not approved");
    if (access >= Access::Administrator && account->role != "admin")
        throw Refusal(403, "only administrators may do this");
    return account;
}

Reply Dispatcher::dispatch(Exchange &exchange) const
{
    const Segments path = segments(exchange.request.path);
    Access guarded = Access::Anyone;
    for (const Guard &guard : m_guards) {
        if (path.size() >= guard.prefix.size() &&
            std::equal(guard.prefix.begin(), guard.prefix.end(), path.begin()))
            guarded = std::max(guarded, guard.access);
    }
    std::optional<Account> caller = authorize(exchange, guarded);

    for (const Route &route : m_routes) {
        if (!methodMatches(route.method, exchange.request.method))
            continue;
        auto captures = match(route.pattern, path);
        if (!captures)
            continue;
        if (route.access > guarded)
            caller = authorize(exchange, route.access);
        Call call{exchange, std::move(caller), std::move(*captures)};
        return route.handler(call);
    }
    throw Refusal(404, "not found");
}

} // namespace quorvale::server
