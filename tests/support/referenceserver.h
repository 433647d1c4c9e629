#pragma once
// Starts the real reference server on a free loopback port with a private data directory, and
// walks its sign-in page as a browser would.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace quorvale::test {

class ReferenceServer final
{
public:
    // Makes the temporary data directory.
    ReferenceServer();
    // Keeps the data in dataDir instead (made if missing), for instance where a client looks
    // for the server's authority: $XDG_DATA_HOME/quorvale-server.
    explicit ReferenceServer(const QString &dataDir);
    // Stops the server.
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer &) = delete;
    ReferenceServer &operator=(const ReferenceServer &) = delete;

    // `quorvale-server --data DIR serve --port 0`; waits (<= 15 s) for the listening line.
    bool start();
    // The port of the next start(); 0, the default, takes a free one.
    void setPort(int port) { m_requestedPort = port; }
    // More options for `serve` from the next start() on, e.g. {"--code-ttl", "0"}.
    void setServeOptions(const QStringList &options) { m_serveOptions = options; }
    // SIGTERM, then wait.
    void stop();
    int port() const { return m_port; }
    // The running server's process id; 0 when it is not running.
    qint64 processId() const { return m_process.processId(); }
    // https://localhost:PORT
    QUrl origin() const;
    QString dataDir() const { return m_dataDir; }
    // DIR/ca.pem
    QString caFile() const;
    // Runs the executable with --data DIR + args; answers its standard output, trimmed.
    QByteArray cli(const QStringList &args, bool *ok = nullptr);
    // Answers the new account's id (empty on failure).
    QString addAccount(const QString &email, const QString &name = {});
    // approve|reject|block through the command-line verbs; also takes approved|rejected|blocked.
    bool setStatus(const QString &id, const QString &status);
    bool promote(const QString &id);
    QString token(const QString &accountId);
    // `notion add-file`: stores a copy of file at path of the import batch; answers the new
    // file's id (empty on failure). An empty type lets the server take it from the extension.
    QString addNotionFile(const QString &accountId, const QString &batchId, const QString &path,
                          const QString &file, const QString &type = {});
    // `notion set-layout` with the layout as JSON text.
    bool setListLayout(const QString &accountId, const QString &pageId, const QByteArray &json);
    // The lines of access.log.
    QList<QByteArray> accessLog() const;

    // origin/auth/login?challenge=…&app_state=…, as the client opens it.
    QUrl loginUrl(const QString &challenge, const QString &appState) const;
    // A scripted browser: GETs the login page (trusting caFile(), redirects not followed),
    // checks the form, posts it with its hidden fields, name and email, and answers the URL the
    // server redirects to. An empty URL on any failure, with the reason in *error.
    QUrl signInWithBrowser(const QUrl &loginUrl, const QString &name, const QString &email,
                           QString *error = nullptr);

    // The path of the quorvale-server executable.
    static QString executable();
    // How the last run of the server ended (after stop()): its exit code, or -1 when it crashed
    // or had to be killed.
    int lastExitCode() const { return m_lastExitCode; }

private:
    void prepareProcess();

    std::unique_ptr<QTemporaryDir> m_temporary;
    QString m_dataDir;
    QProcess m_process;
    QStringList m_serveOptions;
    int m_requestedPort = 0;
    int m_port = 0;
    int m_lastExitCode = 0;
};

} // namespace quorvale::test
