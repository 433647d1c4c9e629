#pragma once

// The model's Notion import area: an export chosen on disk is streamed to the server for a
// preview, which the user then adds to the workspace (under a folder name of their choosing) or
// discards.

#include "json/json.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

namespace quorvale {

class WorkspaceModel;

class NotionImport final : public QObject
{
    Q_DISABLE_COPY_MOVE(NotionImport)

public:
    // The largest archive accepted, in bytes.
    static constexpr qint64 limit = qint64(512) * 1024 * 1024;

    explicit NotionImport(WorkspaceModel &model);

    void importZIP();
    void commit();
    void cancel();

    // The archive's name as the value of the preview's query.
    static QString queryName(const QString &file);

private:
    QCoro::Task<> preview(QString file);
    QCoro::Task<> commitPreview(JSON preview);
    QCoro::Task<> discard(QString id);
    void setProgress(qint64 sent, qint64 total);

    WorkspaceModel &m_model;
};

} // namespace quorvale
