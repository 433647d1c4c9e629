#include "xdghome.h"

#include <QDir>
#include <QFile>

namespace quorvale::test {

namespace {

constexpr std::array<std::pair<const char *, const char *>, 4> kFolders{{
    {"XDG_DATA_HOME", "data"},
    {"XDG_CONFIG_HOME", "config"},
    {"XDG_CACHE_HOME", "cache"},
    {"XDG_RUNTIME_DIR", "runtime"},
}};

} // namespace

XdgHome::XdgHome()
{
    m_valid = m_root.isValid();
    for (std::size_t i = 0; i < kFolders.size(); ++i) {
        const auto &[variable, name] = kFolders[i];
        if (qEnvironmentVariableIsSet(variable))
            m_saved[i] = qgetenv(variable);
        const QString folder = path() + u'/' + QLatin1String(name);
        // Private, as the desktop makes them; Qt refuses a runtime folder that is not.
        m_valid =
            m_valid && QDir().mkpath(folder) &&
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(variable, QFile::encodeName(folder));
    }
}

XdgHome::~XdgHome()
{
    for (std::size_t i = 0; i < kFolders.size(); ++i) {
        if (m_saved[i])
            qputenv(kFolders[i].first, *m_saved[i]);
        else
            qunsetenv(kFolders[i].first);
    }
}

} // namespace quorvale::test
