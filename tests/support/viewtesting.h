#pragma once

// What the views' tests share besides models: documents built in a line, accounts on the real
// server, its access log, widgets found by name, and rows read and clicked as a user does.

#include "support/referenceserver.h"
#include "json/json.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QLabel>
#include <QTest>

namespace quorvale::test {

// A page with the members the navigation reads.
inline JSON page(const std::string &id, const std::string &title, JSON parentId = nullptr)
{
    return JSON::object({{"id", id},
                         {"title", title},
                         {"kind", "document"},
                         {"parentId", parentId},
                         {"icon", "📄"},
                         {"favorite", false},
                         {"trashed", false},
                         {"blocks", JSON::array()},
                         {"cards", JSON::array()}});
}

inline JSON with(JSON value, std::string_view key, JSON member)
{
    value.set(key, std::move(member));
    return value;
}

inline JSON workspace(JSON::Array pages)
{
    return JSON::object({{"schemaVersion", 1}, {"pages", JSON(std::move(pages))}});
}

// Accounts on the server: the first one made is its administrator, the others are approved
// unless told otherwise. add() answers the token.
class Accounts final
{
public:
    explicit Accounts(ReferenceServer &server)
        : m_server(server)
    {}

    QString add(const QString &email, bool approve = true)
    {
        m_lastId = m_server.addAccount(email);
        if (m_count++ > 0 && approve)
            m_server.setStatus(m_lastId, QStringLiteral("approve"));
        return m_server.token(m_lastId);
    }
    const QString &lastId() const { return m_lastId; }

private:
    ReferenceServer &m_server;
    QString m_lastId;
    int m_count = 0;
};

// How many requests of method to path the server has answered.
inline qsizetype requests(const ReferenceServer &server, std::string_view method,
                          std::string_view path)
{
    qsizetype count = 0;
    const QList<QByteArray> lines = server.accessLog();
    for (const QByteArray &line : lines) {
        const JSON entry = JSON::decode(line.toStdString());
        count += entry["method"].stringValue() == method && entry["path"].stringValue() == path;
    }
    return count;
}

// A named descendant of root.
template <typename T = QWidget>
T *child(const QObject &root, const char *name)
{
    return root.findChild<T *>(QString::fromLatin1(name));
}

// What a named button or label says.
inline QString text(const QObject &root, const char *name)
{
    if (auto *button = child<QAbstractButton>(root, name))
        return button->text();
    if (auto *label = child<QLabel>(root, name))
        return label->text();
    return QStringLiteral("<no %1>").arg(QLatin1String(name));
}

// Clicks the middle of a row.
inline void clickRow(QAbstractItemView *view, const QModelIndex &index)
{
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// One role of the rows under parent, in order: Qt::UserRole is the row's tag.
inline QStringList column(const QAbstractItemModel *rows, int role, const QModelIndex &parent = {})
{
    QStringList out;
    for (int i = 0; i < rows->rowCount(parent); ++i)
        out << rows->index(i, 0, parent).data(role).toString();
    return out;
}

inline QStringList tags(const QAbstractItemModel *rows, const QModelIndex &parent = {})
{
    return column(rows, Qt::UserRole, parent);
}

inline QStringList texts(const QAbstractItemModel *rows)
{
    return column(rows, Qt::DisplayRole);
}

} // namespace quorvale::test
