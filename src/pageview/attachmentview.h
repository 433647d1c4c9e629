#pragma once

// An attachment block: a button that downloads the file through the model and, when the file
// is an image, a preview of it fetched from the server.

#include "json/json.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <QCoroTask>

class QPushButton;

namespace quorvale {

class WorkspaceModel;

class AttachmentView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AttachmentView)

public:
    AttachmentView(WorkspaceModel &model, JSON block, QWidget *parent = nullptr);

    // Shows another value of the block. A different block id fetches its preview anew; the
    // same id only relabels.
    void setBlock(JSON block);
    const JSON &block() const { return m_block; }

    bool hasImage() const { return !m_image.isNull(); }
    QImage image() const { return m_image; }
    QPushButton *downloadButton() const { return m_download; }

    // The file names whose preview is fetched: an image extension, in any case.
    static bool isImageName(const QString &name);

signals:
    // A preview request ended, with an image or not. Not emitted for files that are not images,
    // nor for a request overtaken by another block.
    void previewFinished();

protected:
    void showEvent(QShowEvent *event) override;

private:
    static QCoro::Task<> fetchPreview(QPointer<AttachmentView> view, WorkspaceModel *model,
                                      QString path, quint64 generation);
    void startPreview();
    void setImage(QImage image);
    void relabel();
    QString assetId() const;
    QString name() const;

    WorkspaceModel &m_model;
    JSON m_block;
    QImage m_image;
    bool m_shown = false;
    quint64 m_generation = 0; // of the latest preview request; older answers are dropped
    QWidget *m_preview = nullptr;
    QPushButton *m_download = nullptr;
};

} // namespace quorvale
