// One request to the reference server from arbitrary bytes, dispatched as the HTTPS front
// does against a store on a temporary database, signed in as an approved administrator.
// The input reads "METHOD target", header lines, an empty line, then the body; without an
// Authorization header the request carries the account's token.

#include "scratch.h"
#include "server/dispatcher.h"
#include "server/exchange.h"
#include "server/reply.h"
#include "server/routes.h"
#include "server/store.h"
#include "server/util.h"

#include <httplib.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

using namespace quorvale::server;

namespace {

struct Server
{
    Store store{quorvale::fuzz::scratchDirectory()};
    Dispatcher dispatcher{store.sessions()};
    std::vector<std::unique_ptr<Routes>> routes;
    std::string accountId;
    std::string token;

    Server()
    {
        routes = installRoutes(dispatcher, store, std::chrono::seconds(300));
        accountId = store.accounts().add("fuzz@example.test", "Fuzz", "local").id;
        token = store.sessions().createToken(accountId);
    }
};

std::string_view nextLine(std::string_view &text)
{
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Server server;
    // An earlier input may have changed the account; every input starts from the same standing.
    const auto account = server.store.accounts().find(server.accountId);
    if (!account || account->status != "approved" || account->role != "admin")
        server.store.accounts().promote(server.accountId);

    std::string_view input(reinterpret_cast<const char *>(data), size);
    httplib::Request request;
    const std::string_view requestLine = nextLine(input);
    const auto space = requestLine.find(' ');
    if (space == std::string_view::npos)
        return 0;
    request.method = std::string(requestLine.substr(0, space));
    request.target = std::string(requestLine.substr(space + 1));
    const auto question = request.target.find('?');
    request.path = httplib::detail::decode_url(request.target.substr(0, question), false);
    if (question != std::string::npos)
        httplib::detail::parse_query_text(request.target.substr(question + 1), request.params);
    for (std::string_view line = nextLine(input); !line.empty(); line = nextLine(input)) {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string name(line.substr(0, colon));
        if (name == "Content-Length" || name == "Transfer-Encoding")
            continue;
        request.headers.emplace(name,
                                httplib::detail::trim_copy(std::string(line.substr(colon + 1))));
    }
    if (!request.has_header("Authorization"))
        request.headers.emplace("Authorization", "Bearer " + server.token);
    const std::string body(input);
    if (!body.empty())
        request.headers.emplace("Content-Length", std::to_string(body.size()));

    // The body arrives in pieces, as from a socket.
    const httplib::ContentReader reader(
        [&](const httplib::ContentReceiver &receiver) {
            for (std::size_t at = 0; at < body.size(); at += 4096) {
                if (!receiver(body.data() + at, std::min<std::size_t>(4096, body.size() - at)))
                    return false;
            }
            return true;
        },
        [](const httplib::MultipartContentHeader &, const httplib::ContentReceiver &) {
            return false;
        });
    httplib::Response response;
    Exchange exchange(request, response, &reader);
    Reply reply;
    try {
        reply = server.dispatcher.dispatch(exchange);
    } catch (const Refusal &e) {
        reply = Reply::refusal(e.status(), e.what());
    }
    exchange.discardBody();
    // The front writes every JSON answer; one it could not write would be an internal error.
    if (!reply.page && !reply.file && !reply.bytes)
        reply.body.encode();
    return 0;
}
