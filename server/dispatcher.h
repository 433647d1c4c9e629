#pragma once

// Routes requests to the handlers the route classes register, after the access check that
// the path or the route asks for. Unknown paths and methods answer 404.

#include "server/accountstore.h"
#include "server/exchange.h"
#include "server/nocopy.h"
#include "server/reply.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::server {

class SessionStore;

// Each level includes the ones before it.
enum class Access { Anyone, Session, Approved, Administrator };

// A request matched to a route: its exchange, the caller when the route needs a session, and
// the path segments that stood in the pattern's "{}" places.
struct Call
{
    Exchange &exchange;
    std::optional<Account> caller;
    std::vector<std::string> captures;

    const Account &account() const { return *caller; }
    std::string parameter(const char *name) const { return exchange.parameter(name); }
};

// The handler of a call announced to clients but not built yet: 501.
Reply notBuiltYet(Call &call);

class Dispatcher final
{
public:
    using Handler = std::function<Reply(Call &)>;

    explicit Dispatcher(SessionStore &sessions);
    QV_NO_COPY(Dispatcher)

    // Every path under prefix ("/api") needs at least this access, checked before the route is
    // looked up: a caller learns nothing of the paths it may not use.
    void guard(std::string_view prefix, Access access);
    // pattern: "/api/recordings/{}/audio"; "{}" matches one segment, a final "*" one or more.
    // "GET" also answers HEAD; "*" answers every method. The first matching route wins.
    void add(std::string method, std::string_view pattern, Access access, Handler handler);

    // Throws Refusal for a request that reaches no handler.
    Reply dispatch(Exchange &exchange) const;

private:
    using Segments = std::vector<std::string>;
    struct Route
    {
        std::string method;
        Segments pattern;
        Access access;
        Handler handler;
    };
    struct Guard
    {
        Segments prefix;
        Access access;
    };
    static Segments segments(std::string_view path);
    std::optional<Account> authorize(const Exchange &exchange, Access access) const;

    SessionStore &m_sessions;
    std::vector<Guard> m_guards;
    std::vector<Route> m_routes;
};

} // namespace quorvale::server
