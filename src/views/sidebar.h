#pragma once

// The workspace window's left column: the views (meetings, all pages, administration with its
// count of pending accounts), the favourite pages, the private workspace's page tree, the
// buttons that create pages, and the signed-in account with settings and sign-out.

#include <QWidget>

class QLabel;
class QListView;
class QPushButton;
class QToolButton;

namespace quorvale {

class PageTree;
class RowModel;
class SelectionBinding;
class WorkspaceModel;

class Sidebar final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sidebar)

public:
    explicit Sidebar(WorkspaceModel &model, QWidget *parent = nullptr);

    PageTree *pageTree() const { return m_tree; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

signals:
    // The sign-out button only asks: the window confirms before signing out.
    void signOutRequested();
    void settingsRequested();
    // "Import from Notion": the window starts the import.
    void importRequested();

private:
    QWidget *buildLists();
    QWidget *buildAccountBar();
    void connectControls();
    void relabel();
    void showNavigation();
    void showFavorites();
    void showAccount();

    WorkspaceModel &m_model;
    RowModel *m_navigationRows;
    RowModel *m_favoriteRows;
    QListView *m_navigation;
    QListView *m_favorites;
    SelectionBinding *m_navigationSelection = nullptr;
    SelectionBinding *m_favoritesSelection = nullptr;
    PageTree *m_tree;
    QLabel *m_quorvaleHeader;
    QLabel *m_favoritesHeader;
    QLabel *m_privateHeader;
    QPushButton *m_newPage;
    QPushButton *m_newBoard;
    QPushButton *m_import;
    QLabel *m_email;
    QToolButton *m_settings;
    QPushButton *m_signOut;
};

} // namespace quorvale
