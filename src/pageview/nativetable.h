#pragma once

// A table block: its text holds a JSON table of headers and rows, shown as a grid that
// scrolls sideways; text that is not JSON is shown as it stands.

#include "json/json.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

class QLabel;

namespace quorvale {

class NativeTable final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NativeTable)

public:
    explicit NativeTable(const QString &text, QWidget *parent = nullptr);

    // The text decoded as JSON; null when it is not JSON.
    static JSON table(const QString &text);

    // The text is shown as it stands because it is not JSON.
    bool isRaw() const { return m_raw != nullptr; }
    QStringList headers() const;
    // One list per row, one entry per cell; a row that is not an array has no cells.
    QList<QStringList> rows() const;
    // The cell's label; nullptr out of range. Row -1 is the header row.
    QLabel *cell(int row, int column) const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_raw = nullptr;
    std::vector<QLabel *> m_headers;
    std::vector<std::vector<QLabel *>> m_rows;
};

} // namespace quorvale
