#include "savepanel.h"

#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QStandardPaths>

namespace quorvale {

WorkspaceModel::SavePanel fileDialogSavePanel(QWidget *parent, const WorkspaceModel &model)
{
    QPointer<QWidget> owner(parent);
    const WorkspaceModel *m = &model;
    return [owner, m](const QString &proposedName) -> QString {
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (folder.isEmpty())
            folder = QDir::homePath();
        QFileDialog dialog(owner, m->text("Guardar como", "Save as"));
        dialog.setObjectName(QStringLiteral("savePanel"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDirectory(folder);
        dialog.selectFile(proposedName);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return dialog.selectedFiles().value(0);
    };
}

WorkspaceModel::OpenPanel fileDialogZipPanel(QWidget *parent, const WorkspaceModel &model)
{
    QPointer<QWidget> owner(parent);
    const WorkspaceModel *m = &model;
    return [owner, m]() -> QString {
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (folder.isEmpty())
            folder = QDir::homePath();
        QFileDialog dialog(owner, m->text("Importar ZIP de Notion", "Import Notion ZIP"));
        dialog.setObjectName(QStringLiteral("zipPanel"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setMimeTypeFilters({QStringLiteral("application/zip")});
        dialog.setDirectory(folder);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return dialog.selectedFiles().value(0);
    };
}

} // namespace quorvale
