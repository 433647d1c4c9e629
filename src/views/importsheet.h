#pragma once

// The sheet of a pending Notion import: what the archive will add and what it cannot keep, the
// name of the new folder, and the choice to add it or cancel. It holds no state of its own: it
// shows the model's preview, and any way of closing it other than adding cancels the import.

#include "json/json.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quorvale {

class WorkspaceModel;

class ImportSheet final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ImportSheet)

public:
    explicit ImportSheet(WorkspaceModel &model, QWidget *parent = nullptr);

    // Escape, the window's close button and the cancel button all end the import.
    void reject() override;

    // The warning codes as the sheet lists them: each distinct one once, in order.
    static QStringList warningCodes(const JSON &warnings);

private:
    void relabel();
    void showPreview();
    void showItems(const JSON &items);

    WorkspaceModel &m_model;
    QLabel *m_title;
    QLabel *m_name;
    QLabel *m_explanation;
    QList<QLabel *> m_counts;
    QLabel *m_folderLabel;
    QLineEdit *m_folder;
    QVBoxLayout *m_items;
    QLabel *m_warnings;
    QPushButton *m_cancel;
    QPushButton *m_add;
    JSON m_itemsShown;
    bool m_itemsDrawn = false;
};

} // namespace quorvale
