#pragma once

// A one-paragraph text field that wraps its text and grows downwards with it instead of
// scrolling sideways: long card titles stay readable while they are edited.

#include <QPlainTextEdit>

namespace quorvale {

class GrowingField final : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit GrowingField(QWidget *parent = nullptr);

    QString text() const { return toPlainText(); }
    // Replaces the text without reporting an edit.
    void setText(const QString &text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // The user changed the text (typing, pasting, undo), never setText().
    void textEdited(const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    void fitHeight();

    bool m_setting = false;
};

} // namespace quorvale
