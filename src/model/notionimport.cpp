#include "notionimport.h"

#include "files/finally.h"
#include "files/jsontext.h"
#include "service/serviceerror.h"
#include "workspacemodel.h"

#include <QFileInfo>
#include <QPointer>
#include <QUrl>

#include <functional>

namespace quorvale {

NotionImport::NotionImport(WorkspaceModel &model)
    : m_model(model)
{}

QString NotionImport::queryName(const QString &file)
{
    // Every reserved character is escaped: an "&", "=" or "+" in a file name stays in the name
    // instead of cutting the query short.
    const QByteArray encoded = QUrl::toPercentEncoding(QFileInfo(file).fileName());
    return encoded.isEmpty() ? QStringLiteral("notion.zip") : QString::fromLatin1(encoded);
}

void NotionImport::importZIP()
{
    const QString file = m_model.m_openPanel ? m_model.m_openPanel() : QString();
    if (file.isEmpty())
        return;
    m_model.run([this, file]() { return preview(file); });
}

QCoro::Task<> NotionImport::preview(QString file)
{
    // The size on disk decides before a byte is read or anything is saved or sent.
    const QFileInfo info(file);
    if (info.exists() && info.size() > limit)
        throw ServiceError(0, QStringLiteral("ZIP > 512 MB"));

    QPointer<NotionImport> self(this);
    const quint64 session = m_model.m_session.number();
    const auto current = [&] { return self && m_model.m_session.number() == session; };
    co_await m_model.save();
    if (!current())
        co_return;
    // Streamed from disk: an archive of hundreds of megabytes is never held in memory. The
    // arguments are named first: GCC 12 destroys a temporary handed to a coroutine inside
    // co_await twice.
    const QString path = QStringLiteral("/api/notion-imports/preview?name=") + queryName(file);
    const QString type = QStringLiteral("application/zip");
    std::function<void(qint64, qint64)> progress = [self](qint64 sent, qint64 total) {
        if (self)
            self->setProgress(sent, total);
    };
    setProgress(0, info.size());
    const Finally sent([self] {
        if (self)
            self->setProgress(0, 0);
    });
    const QByteArray body =
        co_await m_model.m_service.upload(path, file, type, std::move(progress));
    JSON preview = JSON::decode(std::string_view(body.constData(), std::size_t(body.size())));
    // A preview asked for before a sign-out is not shown to whoever comes next.
    if (current())
        m_model.setImportPreview(std::move(preview));
}

void NotionImport::setProgress(qint64 sent, qint64 total)
{
    if (m_model.m_importSent == sent && m_model.m_importTotal == total)
        return;
    m_model.m_importSent = sent;
    m_model.m_importTotal = total;
    emit m_model.importProgressChanged();
}

void NotionImport::commit()
{
    JSON preview = m_model.m_importPreview;
    m_model.run([this, preview]() { return commitPreview(preview); });
}

QCoro::Task<> NotionImport::commitPreview(JSON preview)
{
    // The server's workspace replaces this one: edits made since the preview would be lost.
    if (m_model.m_dirty)
        throw ServiceError(409, m_model.text("Guarda tus cambios antes de añadir la importación.",
                                             "Save your changes before adding the import."));
    QPointer<NotionImport> self(this);
    const quint64 session = m_model.m_session.number();
    const auto current = [&] { return self && m_model.m_session.number() == session; };
    const QString path =
        QStringLiteral("/api/notion-imports/") +
        QString::fromLatin1(QUrl::toPercentEncoding(jsontext::member(preview, "id"))) +
        QStringLiteral("/commit");
    JSON body = JSON::object({{"revision", preview["revision"]}, {"title", preview["rootTitle"]}});
    const JSON response = co_await m_model.m_service.json(path, "POST", std::move(body));
    if (!current())
        co_return;
    m_model.setWorkspace(response["workspace"]);
    m_model.setRevision(response["revision"].integerValue());
    m_model.setImportPreview(JSON());
    m_model.setDirty(false);
    co_await m_model.load();
}

void NotionImport::cancel()
{
    const QString id = jsontext::member(m_model.m_importPreview, "id");
    m_model.setImportPreview(JSON());
    if (!id.isEmpty())
        discard(id);
}

QCoro::Task<> NotionImport::discard(QString id)
{
    try {
        co_await m_model.m_service.request(QStringLiteral("/api/notion-imports/") +
                                               QString::fromLatin1(QUrl::toPercentEncoding(id)),
                                           "DELETE", std::nullopt,
                                           QStringLiteral("application/json"));
    } catch (const std::exception &) {
        // The server forgets pending imports on its own after a while.
    }
}

} // namespace quorvale
