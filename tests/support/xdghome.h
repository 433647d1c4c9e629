#pragma once

// Private XDG folders for a test: data, config, cache and runtime under one temporary
// directory, in this process's environment (and so its children's) while the object lives.
// QStandardPaths reads these variables on every call, so a test may make a fresh one per case.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <array>
#include <optional>

namespace quorvale::test {

class XdgHome final
{
public:
    XdgHome();
    ~XdgHome();
    XdgHome(const XdgHome &) = delete;
    XdgHome &operator=(const XdgHome &) = delete;

    bool isValid() const { return m_valid; }
    QString path() const { return m_root.path(); }
    QString data() const { return path() + QStringLiteral("/data"); }
    QString config() const { return path() + QStringLiteral("/config"); }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
    // What the variables held before, to be put back.
    std::array<std::optional<QByteArray>, 4> m_saved;
};

} // namespace quorvale::test
