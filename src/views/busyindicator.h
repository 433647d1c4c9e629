#pragma once

// A small spinning circle on a translucent rounded plate, shown while the model is busy. It
// animates only while visible.

#include <QTimer>
#include <QWidget>

namespace quorvale {

class BusyIndicator final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BusyIndicator)

public:
    explicit BusyIndicator(QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer m_timer;
    int m_angle = 0;
};

} // namespace quorvale
