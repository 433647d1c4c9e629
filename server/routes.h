#pragma once

// The calls of the client's API, one class per resource, each in a file of its own: sign-in
// (authroutes.cpp), the workspace and its meetings, recordings, Notion imports and their
// files, and administration. They register their handlers with the dispatcher and reach what
// is kept only through the stores, never through paths on disk.

#include "server/dispatcher.h"

#include <chrono>
#include <memory>
#include <vector>

namespace quorvale::server {

class Store;

class Routes
{
public:
    explicit Routes(Store &store)
        : m_store(store)
    {}
    virtual ~Routes() = default;
    virtual void registerWith(Dispatcher &dispatcher) = 0;

protected:
    // Registers a member function of this routes class as the handler of method and pattern.
    template <typename Self>
    static void route(Dispatcher &dispatcher, std::string method, std::string_view pattern,
                      Access access, Self *self, Reply (Self::*handler)(Call &))
    {
        dispatcher.add(std::move(method), pattern, access,
                       [self, handler](Call &call) { return (self->*handler)(call); });
    }

    Store &m_store;
};

std::unique_ptr<Routes> makeAuthRoutes(Store &store, std::chrono::seconds codeLifetime);
std::unique_ptr<Routes> makeWorkspaceRoutes(Store &store);
std::unique_ptr<Routes> makeRecordingRoutes(Store &store);
std::unique_ptr<Routes> makeImportRoutes(Store &store);
std::unique_ptr<Routes> makeAdminRoutes(Store &store);

// Every resource's routes registered with dispatcher, everything under /api for approved
// accounts only; they serve as long as the returned list lives.
std::vector<std::unique_ptr<Routes>> installRoutes(Dispatcher &dispatcher, Store &store,
                                                   std::chrono::seconds codeLifetime);

} // namespace quorvale::server
