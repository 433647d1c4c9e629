// The system keychain on Linux: the Secret Service through libsecret's synchronous API.
// Glib's headers clash with Qt's keywords, so this file includes no Qt header.

#include "secretstore.h"

#include <libsecret/secret.h>

#include <memory>

namespace quorvale {

namespace {

// One schema for every item; the service and account attributes tell items apart.
const SecretSchema schema = {
    "mx.qvl.quorvale.Secret",
    SECRET_SCHEMA_NONE,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct GlibDeleter
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
    void operator()(SecretValue *value) const { secret_value_unref(value); }
    void operator()(GList *items) const { g_list_free_full(items, g_object_unref); }
    template <typename T>
    void operator()(T *object) const
    {
        g_object_unref(object);
    }
};
template <typename T>
using Owned = std::unique_ptr<T, GlibDeleter>;

// Holds an error out-parameter and frees it.
class Error
{
public:
    GError **out() { return &m_error; }
    explicit operator bool() const { return m_error != nullptr; }
    ~Error()
    {
        if (m_error)
            g_error_free(m_error);
    }

private:
    GError *m_error = nullptr;
};

// D-Bus strings must be UTF-8 without NUL; anything else would trip glib's assertions.
bool isDbusText(const std::string &text)
{
    return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

// Never asks for a password: a keyring that would need one (locked, or not created yet) is
// unavailable, so no call can block on a prompt waiting for the user.
class LibsecretStore final : public SecretStore
{
public:
    Lookup find(const std::string &service, const std::string &account) override
    {
        if (!isDbusText(service) || !isDbusText(account))
            return {Outcome::Unavailable, {}};
        const Owned<SecretService> secrets = connect();
        if (!secrets)
            return {Outcome::Unavailable, {}};

        // Locked items are listed too (without their secrets), so that a match that cannot
        // be read is not mistaken for no match.
        Error error;
        const auto flags =
            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
        const Owned<GList> items(secret_service_search_sync(secrets.get(), &schema,
                                                            attributes(service, account).get(),
                                                            flags, nullptr, error.out()));
        if (error) {
            forget();
            return {Outcome::Unavailable, {}};
        }
        for (GList *node = items.get(); node; node = node->next) {
            auto *item = static_cast<SecretItem *>(node->data);
            const Owned<SecretValue> value(
                secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item));
            if (!value)
                continue;
            gsize length = 0;
            const auto *bytes =
                reinterpret_cast<const unsigned char *>(secret_value_get(value.get(), &length));
            return {Outcome::Found, Bytes(bytes, bytes + length)};
        }
        if (items)
            return {Outcome::Unavailable, {}};
        // A locked collection need not list its items at all (gnome-keyring does not, for a
        // keyring loaded locked from disk): "no match" is true only of an open one.
        return openDefaultCollection(secrets.get()) ? Lookup{Outcome::NotFound, {}}
                                                    : Lookup{Outcome::Unavailable, {}};
    }

    bool store(const std::string &service, const std::string &account, const std::string &label,
               const Bytes &data) override
    {
        if (!isDbusText(service) || !isDbusText(account) || !isDbusText(label))
            return false;
        const Owned<SecretService> secrets = connect();
        if (!secrets)
            return false;
        // Created in the collection itself: libsecret's general store would answer a locked or
        // missing collection with an unlock or create prompt.
        const Owned<SecretCollection> collection = openDefaultCollection(secrets.get());
        if (!collection)
            return false;
        const Owned<SecretValue> value(
            secret_value_new(reinterpret_cast<const gchar *>(data.data()),
                             static_cast<gssize>(data.size()), "application/octet-stream"));
        Error error;
        const Owned<SecretItem> item(secret_item_create_sync(
            collection.get(), &schema, attributes(service, account).get(), label.c_str(),
            value.get(), SECRET_ITEM_CREATE_REPLACE, nullptr, error.out()));
        if (!item || error) {
            forget();
            return false;
        }
        return true;
    }

    bool remove(const std::string &service, const std::string &account) override
    {
        if (!isDbusText(service) || !isDbusText(account))
            return false;
        const Owned<SecretService> secrets = connect();
        if (!secrets)
            return false;
        Error error;
        const Owned<GList> items(
            secret_service_search_sync(secrets.get(), &schema, attributes(service, account).get(),
                                       SECRET_SEARCH_ALL, nullptr, error.out()));
        if (error) {
            forget();
            return false;
        }
        bool removed = true;
        for (GList *node = items.get(); node; node = node->next) {
            auto *item = static_cast<SecretItem *>(node->data);
            Error deleteError;
            if (secret_item_get_locked(item) ||
                !secret_item_delete_sync(item, nullptr, deleteError.out()))
                removed = false;
        }
        // Nothing listed in a locked collection proves nothing.
        return removed && openDefaultCollection(secrets.get());
    }

private:
    static Owned<SecretService> connect()
    {
        Error error;
        return Owned<SecretService>(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    }

    // After a failure the shared connection is dropped, so that a keyring daemon restarted
    // meanwhile is reached afresh (it would not know the old session).
    static void forget() { secret_service_disconnect(); }

    static Owned<GHashTable> attributes(const std::string &service, const std::string &account)
    {
        Owned<GHashTable> table(g_hash_table_new(g_str_hash, g_str_equal));
        g_hash_table_insert(table.get(), const_cast<char *>("service"),
                            const_cast<char *>(service.c_str()));
        g_hash_table_insert(table.get(), const_cast<char *>("account"),
                            const_cast<char *>(account.c_str()));
        return table;
    }

    // The collection that holds new items, when it exists and is unlocked. A fresh proxy each
    // time: its properties are read as it is made, so the locked state is current.
    static Owned<SecretCollection> openDefaultCollection(SecretService *secrets)
    {
        Error error;
        Owned<SecretCollection> collection(secret_collection_for_alias_sync(
            secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
        if (error || !collection || secret_collection_get_locked(collection.get()))
            return nullptr;
        return collection;
    }
};

} // namespace

std::unique_ptr<SecretStore> SecretStore::system()
{
    return std::make_unique<LibsecretStore>();
}

} // namespace quorvale
