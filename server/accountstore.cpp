#include "server/accountstore.h"

#include "server/outbox.h"
#include "server/text.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr const char *accountColumns =
    "id, name, email, tenant_id, status, role, version, created_at";

Account readAccount(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2),    row.text(3),
            row.text(4), row.text(5), row.integer(6), row.text(7)};
}

std::optional<Account> findAccount(Connection &connection, const std::string &id)
{
    return connection
        .prepare(std::string("SELECT ") + accountColumns + " FROM accounts WHERE id = ?1")
        .bind(id)
        .one(readAccount);
}

void requireText(const std::string &text, const char *what, std::size_t maxBytes)
{
    if (!isUsableText(text, maxBytes))
        throw Refusal(400, std::string(what) + " must be at most " + std::to_string(maxBytes) +
                               " bytes without control characters");
}

const char *spanishStatus(const std::string &status)
{
    if (status == "approved")
        return "aprobada";
    if (status == "rejected")
        return "rechazada";
    if (status == "blocked")
        return "bloqueada";
    return "pendiente";
}

const char *englishStatus(const std::string &status)
{
    if (status == "approved" || status == "rejected" || status == "blocked")
        return status.c_str();
    return "pending";
}

} // namespace

JSON accountJson(const Account &account)
{
    return JSON::object({{"id", account.id},
                         {"name", account.name},
                         {"email", account.email},
                         {"tenantId", account.tenantId},
                         {"status", account.status},
                         {"role", account.role}});
}

AccountStore::AccountStore(Database &database, Outbox &outbox)
    : m_database(database)
    , m_outbox(outbox)
{}

Account AccountStore::add(const std::string &email, const std::string &name,
                          const std::string &tenantId)
{
    if (!isUsableEmail(email))
        throw Refusal(400, "\"" + email + "\" is not a usable e-mail address");
    requireText(name, "the name", maxNameBytes);
    requireText(tenantId, "the tenant", 200);

    Account account;
    account.id = newId();
    account.email = email;
    account.name = name.empty() ? email.substr(0, email.find('@')) : name;
    account.tenantId = tenantId;
    account.version = 1;
    account.createdAt = isoNow();

    std::string mailId;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        auto taken = connection->prepare("SELECT 1 FROM accounts WHERE lower(email) = lower(?1)");
        taken.bind(email);
        if (taken.step())
            throw Refusal(409, "an account with the e-mail " + email + " already exists");
        auto count = connection->prepare("SELECT count(*) FROM accounts");
        count.step();
        const bool first = count.integer(0) == 0;
        account.status = first ? "approved" : "pending";
        account.role = first ? "admin" : "user";
        connection
            ->prepare("INSERT INTO accounts (id, name, email, tenant_id, status, role, "
                      "version, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
            .bind(account.id, account.name, account.email, account.tenantId, account.status,
                  account.role, account.version, account.createdAt)
            .run();
        if (!first) {
            MailDraft mail;
            mail.accountId = account.id;
            mail.kind = "accountCreated";
            auto admins =
                connection->prepare("SELECT email FROM accounts WHERE role = 'admin' ORDER BY seq");
            while (admins.step())
                mail.to.push_back(admins.text(0));
            mail.subject = "Quorvale: nueva cuenta pendiente de aprobación / new account "
                           "awaiting approval";
            mail.body = "Una cuenta nueva espera tu aprobación.\n"
                        "A new account is waiting for your approval.\n\n"
                        "Nombre / Name: " +
                        account.name + "\nCorreo / E-mail: " + account.email +
                        "\nTenant: " + account.tenantId + "\nCuenta / Account: " + account.id +
                        "\n";
            mailId = m_outbox.queue(*connection, mail);
        }
        transaction.commit();
    }
    if (!mailId.empty())
        m_outbox.deliverSoon(mailId);
    return account;
}

std::vector<Account> AccountStore::list()
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + accountColumns + " FROM accounts ORDER BY seq")
        .all(readAccount);
}

std::optional<Account> AccountStore::find(const std::string &id)
{
    auto connection = m_database.connect();
    return findAccount(*connection, id);
}

std::optional<Account> AccountStore::findByEmail(const std::string &email)
{
    auto connection = m_database.connect();
    return connection
        ->prepare(std::string("SELECT ") + accountColumns +
                  " FROM accounts WHERE lower(email) = lower(?1)")
        .bind(email)
        .one(readAccount);
}

Account AccountStore::forSignIn(const std::string &email, const std::string &name)
{
    if (auto found = findByEmail(email))
        return *found;
    try {
        return add(email, name, "local");
    } catch (const Refusal &refusal) {
        // Another sign-in with the same address made the account in between.
        if (refusal.status() != 409)
            throw;
    }
    if (auto found = findByEmail(email))
        return *found;
    throw std::runtime_error("the account for " + email + " vanished while signing in");
}

template <typename Check>
Account AccountStore::changeAccess(const std::string &id, const std::string &status,
                                   const char *role, Check check)
{
    Account account;
    std::string mailId;
    {
        auto connection = m_database.connect();
        Transaction transaction(*connection);
        auto found = findAccount(*connection, id);
        if (!found)
            throw Refusal(404, "there is no account " + id);
        check(*found);
        account = *found;
        account.status = status;
        if (role)
            account.role = role;
        ++account.version;
        connection
            ->prepare("UPDATE accounts SET status = ?1, role = ?2, version = ?3 WHERE id = ?4")
            .bind(account.status, account.role, account.version, account.id)
            .run();
        MailDraft mail;
        mail.accountId = account.id;
        mail.kind = "statusChanged";
        mail.to = {account.email};
        mail.subject = "Quorvale: tu acceso ha cambiado / your access has changed";
        const bool admin = account.role == "admin";
        mail.body = "Hola, " + account.name + ":\n\n" + "Tu cuenta de Quorvale ahora está " +
                    spanishStatus(account.status) + (admin ? " (administración)" : "") +
                    ".\nYour Quorvale account is now " + englishStatus(account.status) +
                    (admin ? " (administrator)" : "") + ".\n";
        mailId = m_outbox.queue(*connection, mail);
        transaction.commit();
    }
    m_outbox.deliverSoon(mailId);
    return account;
}

Account AccountStore::setStatus(const std::string &id, const std::string &status)
{
    return changeAccess(id, status, nullptr, [](const Account &) {});
}

Account AccountStore::promote(const std::string &id)
{
    return changeAccess(id, "approved", "admin", [](const Account &) {});
}

Account AccountStore::changeStatusAsAdministrator(const std::string &id, const std::string &status,
                                                  const JSON &version)
{
    return changeAccess(id, status, nullptr, [&](const Account &account) {
        if (account.role == "admin")
            throw Refusal(403, "the access of an administrator cannot be changed here");
        if (version != JSON(account.version))
            throw Refusal(409, "the account changed meanwhile (version " +
                                   std::to_string(account.version) + ")");
    });
}

JSON AccountStore::administrationRecord(const Account &account)
{
    JSON record = accountJson(account);
    record.set("notification", m_outbox.latest(account.id));
    record.set("version", account.version);
    return record;
}

} // namespace quorvale::server
