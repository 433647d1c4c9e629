#include "busyindicator.h"

#include "style/viewstyle.h"

#include <QPainter>

namespace quorvale {

namespace {

constexpr int padding = 8;
constexpr int spinner = 20;

} // namespace

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("busyIndicator"));
    style::setAccessibleRole(this, QAccessible::Animation);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedSize(sizeHint());
    m_timer.setInterval(16 * 4);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

QSize BusyIndicator::sizeHint() const
{
    return {spinner + 2 * padding, spinner + 2 * padding};
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 210));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);

    const QRectF circle(padding + 1.5, padding + 1.5, spinner - 3, spinner - 3);
    QPen track(QColor(60, 60, 67, 50), 2.5);
    painter.setPen(track);
    painter.drawEllipse(circle);
    QPen arc(QColor(60, 60, 67, 200), 2.5, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(arc);
    painter.drawArc(circle, -m_angle * 16, 100 * 16);
}

void BusyIndicator::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer.start();
}

void BusyIndicator::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}

} // namespace quorvale
