#include "growingfield.h"

#include <QAbstractTextDocumentLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextDocument>

#include <cmath>

namespace quorvale {

GrowingField::GrowingField(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &GrowingField::fitHeight);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_setting)
            emit textEdited(toPlainText());
    });
    fitHeight();
}

void GrowingField::setText(const QString &text)
{
    m_setting = true;
    setPlainText(text);
    m_setting = false;
}

QSize GrowingField::sizeHint() const
{
    // The plain text layout counts in lines; a margin on each side of the frame and document.
    const int lines = std::max(
        1, static_cast<int>(std::ceil(document()->documentLayout()->documentSize().height())));
    const int height = lines * fontMetrics().lineSpacing() +
                       2 * (frameWidth() + static_cast<int>(document()->documentMargin()));
    return {QPlainTextEdit::sizeHint().width(), height};
}

void GrowingField::fitHeight()
{
    setFixedHeight(sizeHint().height());
}

void GrowingField::keyPressEvent(QKeyEvent *event)
{
    // A title is one paragraph: Return ends the edit instead of breaking the line.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void GrowingField::insertFromMimeData(const QMimeData *source)
{
    QString text = source->text();
    text.replace(u'\n', u' ');
    insertPlainText(text);
}

} // namespace quorvale
