#pragma once

// The save panel the model asks when the user exports or saves a file: the system's file
// dialog, modal over the window. Tests give the model a scripted panel instead, or answer
// this dialog while it is open.

#include "model/workspacemodel.h"

class QWidget;

namespace quorvale {

// A panel that proposes the given name in the user's documents folder; parent may be null.
WorkspaceModel::SavePanel fileDialogSavePanel(QWidget *parent, const WorkspaceModel &model);
// A panel that opens one existing ZIP archive, starting in the user's downloads folder.
WorkspaceModel::OpenPanel fileDialogZipPanel(QWidget *parent, const WorkspaceModel &model);

} // namespace quorvale
