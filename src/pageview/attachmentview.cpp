#include "pageview/attachmentview.h"

#include "files/jsontext.h"

#include "model/workspacemodel.h"
#include "style/navstyle.h"
#include "style/viewstyle.h"

#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>

namespace quorvale {

namespace {

constexpr int maxPreviewHeight = 480;
constexpr qreal previewRadius = 8;

// The image as wide as the view allows, at most 480 high, in its own proportions, with
// rounded corners.
class PreviewImage final : public QWidget
{
public:
    explicit PreviewImage(QWidget *parent)
        : QWidget(parent)
    {
        style::setAccessibleRole(this, QAccessible::Graphic);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    void setImage(QImage image)
    {
        m_image = std::move(image);
        updateGeometry();
        update();
    }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return fitted(width).height(); }
    QSize sizeHint() const override { return fitted(m_image.width()); }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (m_image.isNull())
            return;
        const QSize size = fitted(width()).boundedTo(this->size());
        if (size.isEmpty())
            return;
        QPainter painter(this);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        const QRectF target(QPointF(0, 0), QSizeF(size));
        QPainterPath clip;
        clip.addRoundedRect(target, previewRadius, previewRadius);
        painter.setClipPath(clip);
        painter.drawImage(target, m_image);
    }

private:
    // The largest size of the image's proportions no wider than width and no higher than 480.
    QSize fitted(int width) const
    {
        if (m_image.isNull() || width <= 0)
            return {0, 0};
        const double w = m_image.width();
        const double h = m_image.height();
        const double scale = std::min(width / w, maxPreviewHeight / h);
        return {std::max(1, static_cast<int>(std::floor(w * scale))),
                std::max(1, static_cast<int>(std::floor(h * scale)))};
    }

    QImage m_image;
};

} // namespace

AttachmentView::AttachmentView(WorkspaceModel &model, JSON block, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_block(std::move(block))
{
    setObjectName(QStringLiteral("attachmentView"));
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setAlignment(Qt::AlignTop);

    m_preview = new PreviewImage(this);
    m_preview->setObjectName(QStringLiteral("attachmentPreview"));
    m_preview->hide();
    stack->addWidget(m_preview);

    m_download = new QPushButton(this);
    m_download->setObjectName(QStringLiteral("attachmentDownload"));
    m_download->setFlat(true);
    m_download->setIcon(navstyle::tintedIcon(QStringLiteral("arrow-down-document"),
                                             palette().color(QPalette::ButtonText)));
    QFont callout = m_download->font();
    if (callout.pointSizeF() > 2)
        callout.setPointSizeF(callout.pointSizeF() - 1);
    m_download->setFont(callout);
    connect(m_download, &QPushButton::clicked, this,
            [this] { m_model.saveFile(QStringLiteral("/api/notion-files/") + assetId(), name()); });
    stack->addWidget(m_download, 0, Qt::AlignLeft);

    connect(&m_model, &WorkspaceModel::languageChanged, this, &AttachmentView::relabel);
    relabel();
}

void AttachmentView::setBlock(JSON block)
{
    const bool other = block.id() != m_block.id();
    m_block = std::move(block);
    relabel();
    if (!other)
        return;
    // The picture belongs to the previous attachment; keeping it would show the wrong file.
    ++m_generation;
    setImage({});
    if (m_shown)
        startPreview();
}

bool AttachmentView::isImageName(const QString &name)
{
    static const std::array<QLatin1String, 5> extensions = {
        QLatin1String("png"), QLatin1String("jpg"), QLatin1String("jpeg"), QLatin1String("gif"),
        QLatin1String("webp")};
    const QString suffix = QFileInfo(name).suffix().toLower();
    return std::find(extensions.begin(), extensions.end(), suffix) != extensions.end();
}

void AttachmentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    startPreview();
}

void AttachmentView::startPreview()
{
    const quint64 generation = ++m_generation;
    if (!isImageName(name()))
        return;
    fetchPreview(QPointer<AttachmentView>(this), &m_model,
                 QStringLiteral("/api/notion-files/") + assetId() + QStringLiteral("/preview"),
                 generation);
}

QCoro::Task<> AttachmentView::fetchPreview(QPointer<AttachmentView> view, WorkspaceModel *model,
                                           QString path, quint64 generation)
{
    QByteArray bytes;
    bool received = false;
    try {
        bytes = co_await model->service().request(std::move(path), "GET", std::nullopt,
                                                  QStringLiteral("application/json"));
        received = true;
    } catch (const std::exception &) {
        // A preview is a nicety: without one the download button is all there is.
    }
    // The view may be gone, or showing another block, by the time the answer comes.
    AttachmentView *self = view.data();
    if (self == nullptr || self->m_generation != generation)
        co_return;
    if (received)
        self->setImage(QImage::fromData(bytes));
    emit self->previewFinished();
}

void AttachmentView::setImage(QImage image)
{
    m_image = std::move(image);
    m_preview->setVisible(!m_image.isNull());
    static_cast<PreviewImage *>(m_preview)->setImage(m_image);
}

void AttachmentView::relabel()
{
    m_download->setText(name());
    style::setToolTipName(m_download, m_model.text("Descargar", "Download"));
}

QString AttachmentView::assetId() const
{
    // Encoded so that an id can only ever name a file, never another path of the server.
    return QString::fromLatin1(QUrl::toPercentEncoding(jsontext::member(m_block, "assetId")));
}

QString AttachmentView::name() const
{
    return jsontext::member(m_block, "text");
}

} // namespace quorvale
