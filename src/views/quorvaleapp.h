#pragma once

// The application: creates the one model, opens the main window, and hands URLs of the
// callback scheme to the sign-in.

#include "model/workspacemodel.h"

#include <QMainWindow>
#include <QObject>
#include <QUrl>

#include <memory>

namespace quorvale {

class SingleInstance;

class QuorvaleApp final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuorvaleApp)

public:
    // instance: the listening single-instance channel; other starts hand their URLs to it.
    explicit QuorvaleApp(SingleInstance &instance, QObject *parent = nullptr);
    ~QuorvaleApp() override;

    WorkspaceModel &model() { return m_model; }
    QMainWindow &window() { return *m_window; }

    // A URL the system handed over (the browser's sign-in callback, in practice).
    void open(const QUrl &url);
    void bringToFront();

private:
    WorkspaceModel m_model;
    std::unique_ptr<QMainWindow> m_window;
};

} // namespace quorvale
