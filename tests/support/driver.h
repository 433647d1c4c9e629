#pragma once
// Drives the real client through its test-only automation socket.

#include <QAnyStringView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QTest>

namespace quorvale::test {

// A client's environment with its home, XDG folders and automation socket ("driver") under
// root, which holds the folders data, config, cache and runtime.
inline QProcessEnvironment clientEnvironment(const QString &root, const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    for (const char *dir : {"data", "config", "cache", "runtime"}) {
        const QString name = QString::fromLatin1(dir);
        env.insert(
            QStringLiteral("XDG_%1_%2").arg(name.toUpper(), name == u"runtime" ? u"DIR" : u"HOME"),
            root + u'/' + name);
    }
    env.insert(QStringLiteral("QUORVALE_AUTOMATION"), root + QStringLiteral("/driver"));
    return env;
}

// The client's automation socket: one command line out, one JSON line back.
class Driver final
{
public:
    bool connectTo(const QString &path)
    {
        m_socket.abort(); // a client killed before may have left it half-open
        return QTest::qWaitFor(
            [&] {
                m_socket.connectToServer(path);
                if (m_socket.waitForConnected(200))
                    return true;
                m_socket.abort();
                return false;
            },
            30000);
    }

    QJsonObject send(const QString &command)
    {
        write(command);
        return answer();
    }
    // The two halves of send, for a caller that acts between them.
    void write(const QString &command)
    {
        m_socket.write(command.toUtf8() + '\n');
        m_socket.waitForBytesWritten(5000);
    }
    QJsonObject answer()
    {
        while (!m_socket.canReadLine()) {
            if (!m_socket.waitForReadyRead(30000))
                return QJsonObject{{QStringLiteral("error"), QStringLiteral("no answer")}};
        }
        return QJsonDocument::fromJson(m_socket.readLine()).object();
    }

    // The error of a command; empty when it went through.
    QString run(QAnyStringView command)
    {
        return send(command.toString())[QStringLiteral("error")].toString();
    }
    QJsonValue state(const char *member)
    {
        return send(QStringLiteral("state"))[QLatin1String(member)];
    }
    bool is(const char *flag) { return state(flag).toBool(); }
    // The message the window shows; empty when none.
    QString message() { return state("message").toString(); }
    qsizetype pages() { return state("pages").toArray().size(); }
    QJsonObject widget(QAnyStringView name)
    {
        return send(QStringLiteral("widget ") + name.toString());
    }
    bool visible(QAnyStringView name) { return widget(name)[QStringLiteral("visible")].toBool(); }
    QString text(QAnyStringView name) { return widget(name)[QStringLiteral("text")].toString(); }
    QString click(QAnyStringView name) { return run(QStringLiteral("click ") + name.toString()); }
    // The id of the page with this title, as the window lists it.
    QString page(const QString &title)
    {
        for (const QJsonValue page : state("pages").toArray()) {
            if (page[QStringLiteral("title")].toString() == title)
                return page[QStringLiteral("id")].toString();
        }
        return {};
    }
    QString open(const QString &title) { return run(QStringLiteral("select ") + page(title)); }

private:
    QLocalSocket m_socket;
};

} // namespace quorvale::test
