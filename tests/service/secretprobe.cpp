// Runs keychain operations in a process of its own, so that tests can give it an environment
// of its own: no D-Bus session at all, or a keyring that it locks. (Glib keeps one session
// connection per process, so the test process itself cannot switch.)
//
//   secretprobe store:ACCOUNT | find:ACCOUNT | remove:ACCOUNT | lock …
// prints one line per step: "store:a true", "find:a found 3", "find:b unavailable", …

#include "service/secretstore.h"

#include <libsecret/secret.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

const std::string service = "mx.qvl.quorvale.test";

// Locks the default collection as the desktop does when the screen locks.
bool lockDefaultCollection()
{
    SecretService *secrets = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    if (!secrets)
        return false;
    SecretCollection *collection = secret_collection_for_alias_sync(
        secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    bool locked = false;
    if (collection) {
        GList objects{collection, nullptr, nullptr};
        locked = secret_service_lock_sync(secrets, &objects, nullptr, nullptr, nullptr) == 1;
        g_object_unref(collection);
    }
    g_object_unref(secrets);
    return locked;
}

std::string run(quorvale::SecretStore &store, std::string_view step)
{
    using Outcome = quorvale::SecretStore::Outcome;
    const auto colon = step.find(':');
    const std::string verb(step.substr(0, colon));
    const std::string account(colon == std::string_view::npos ? "" : step.substr(colon + 1));
    if (verb == "lock")
        return lockDefaultCollection() ? "true" : "false";
    if (verb == "store")
        return store.store(service, account, "probe", {'p', 0, 'q'}) ? "true" : "false";
    if (verb == "remove")
        return store.remove(service, account) ? "true" : "false";
    if (verb == "find") {
        const auto found = store.find(service, account);
        switch (found.outcome) {
        case Outcome::Found:
            return "found " + std::to_string(found.data.size());
        case Outcome::NotFound:
            return "notfound";
        case Outcome::Unavailable:
            return "unavailable";
        }
    }
    return "bad step";
}

} // namespace

int main(int argc, char **argv)
{
    const std::unique_ptr<quorvale::SecretStore> store = quorvale::SecretStore::system();
    for (int i = 1; i < argc; ++i) {
        const std::string result = run(*store, argv[i]);
        std::printf("%s %s\n", argv[i], result.c_str());
    }
    return 0;
}
