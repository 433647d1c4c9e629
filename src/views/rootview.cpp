#include "rootview.h"

#include "accessscreen.h"
#include "busyindicator.h"
#include "importsheet.h"
#include "model/workspacemodel.h"
#include "recorder/meetingrecorder.h"
#include "recordingpanel/meetingaudio.h"
#include "workspaceview.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedLayout>

namespace quorvale {

RootView::RootView(WorkspaceModel &model, QWidget *parent, MeetingAudio *audio)
    : QWidget(parent)
    , m_model(model)
    , m_audio(audio)
{
    setObjectName(QStringLiteral("rootView"));
    m_access = new AccessScreen(model, this);
    m_workspace = new WorkspaceView(model, this, audio);
    m_screens = new QStackedLayout(this);
    m_screens->addWidget(m_access);
    m_screens->addWidget(m_workspace);
    m_busy = new BusyIndicator(this);
    m_busy->hide();
    m_importProgress = new QLabel(this);
    m_importProgress->setObjectName(QStringLiteral("importProgress"));
    m_importProgress->setAutoFillBackground(true);
    m_importProgress->setContentsMargins(10, 4, 10, 4);
    m_importProgress->hide();
    connect(&m_model, &WorkspaceModel::importProgressChanged, this, &RootView::showImportProgress);

    connect(m_workspace, &WorkspaceView::signOutRequested, this, &RootView::confirmSignOut);
    connect(m_workspace, &WorkspaceView::settingsRequested, this, &RootView::settingsRequested);
    connect(&m_model, &WorkspaceModel::accountChanged, this, &RootView::showScreen);
    connect(&m_model, &WorkspaceModel::busyChanged, this, [this] {
        m_busy->setVisible(m_model.busy());
        m_busy->raise();
    });
    connect(&m_model, &WorkspaceModel::messageChanged, this, &RootView::showMessage);
    connect(&m_model, &WorkspaceModel::importPreviewChanged, this, &RootView::showImportSheet);
    connect(&m_model, &WorkspaceModel::dirtyChanged, this, &RootView::refreshConfirmation);
    connect(&m_model, &WorkspaceModel::languageChanged, this, &RootView::refreshConfirmation);
    if (m_audio) {
        MeetingRecorder &recorder = m_audio->recorder();
        connect(&recorder, &MeetingRecorder::isRecordingChanged, this,
                &RootView::refreshConfirmation);
        connect(&recorder, &MeetingRecorder::isFinishingChanged, this,
                &RootView::refreshConfirmation);
    }
    showScreen();
    m_busy->setVisible(m_model.busy());
    showImportSheet();
    showMessage();
}

void RootView::showScreen()
{
    const bool approved = m_model.approved();
    m_screens->setCurrentWidget(approved ? static_cast<QWidget *>(m_workspace) : m_access);
    // Whoever signs out from there is gone already.
    if (QMessageBox *confirmation = m_confirmation.data(); confirmation && !approved)
        confirmation->reject();
    m_busy->raise();
}

void RootView::showMessage()
{
    const QString &message = m_model.message();
    if (QMessageBox *open = m_alert.data()) {
        if (message.isEmpty())
            open->close();
        else
            open->setText(message);
        return;
    }
    if (message.isEmpty())
        return;
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Quorvale"), message,
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("messageAlert"));
    box->setTextFormat(Qt::PlainText);
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    // However it goes away (OK, Escape, the window's close button), the message is done with.
    connect(box, &QDialog::finished, this, [this, box] {
        if (m_alert == box)
            m_alert = nullptr;
        m_model.setMessage(QString());
    });
    m_alert = box;
    box->open();
}

void RootView::showImportSheet()
{
    const bool pending = !m_model.importPreview().isNull();
    if (ImportSheet *open = m_importSheet.data()) {
        // Added, cancelled or signed out: the import is over and there is nothing to cancel.
        if (!pending)
            open->done(QDialog::Accepted);
        return;
    }
    if (!pending)
        return;
    auto *sheet = new ImportSheet(m_model, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    m_importSheet = sheet;
    sheet->open();
    // An error of the upload or the commit shows over the sheet.
    if (QMessageBox *alert = m_alert.data())
        alert->raise();
}

void RootView::confirmSignOut()
{
    if (QMessageBox *open = m_confirmation.data()) {
        open->raise();
        open->activateWindow();
        return;
    }
    auto *box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("signOutConfirmation"));
    box->setWindowTitle(QStringLiteral("Quorvale"));
    QPushButton *signOut = box->addButton(QString(), QMessageBox::DestructiveRole);
    signOut->setObjectName(QStringLiteral("confirmSignOut"));
    QPushButton *cancel = box->addButton(QString(), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelSignOut"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    m_confirmSignOut = signOut;
    m_cancelSignOut = cancel;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::buttonClicked, this, [this](QAbstractButton *button) {
        if (button == m_confirmSignOut && button->isEnabled())
            m_model.logout();
    });
    connect(box, &QDialog::finished, this, [this, box] {
        if (m_confirmation == box)
            m_confirmation = nullptr;
    });
    m_confirmation = box;
    refreshConfirmation();
    box->open();
}

void RootView::refreshConfirmation()
{
    QMessageBox *box = m_confirmation.data();
    QPushButton *signOut = m_confirmSignOut.data();
    QPushButton *cancel = m_cancelSignOut.data();
    if (!box || !signOut || !cancel)
        return;
    box->setText(m_model.text("¿Cerrar sesión? Guarda tus cambios primero.",
                              "Sign out? Save your changes first."));
    signOut->setText(m_model.text("Cerrar sesión", "Sign out"));
    cancel->setText(m_model.text("Cancelar", "Cancel"));
    // Unsaved edits and a recording being made or mixed cannot be thrown away from here.
    const bool recording =
        m_audio && (m_audio->recorder().isRecording() || m_audio->recorder().isFinishing());
    signOut->setEnabled(!m_model.dirty() && !recording);
}

void RootView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeBusyIndicator();
}

void RootView::placeBusyIndicator()
{
    m_busy->move((width() - m_busy->width()) / 2, 8);
    m_importProgress->move((width() - m_importProgress->width()) / 2, 8 + m_busy->height() + 6);
}

void RootView::showImportProgress()
{
    const qint64 total = m_model.importTotal();
    m_importProgress->setVisible(total > 0);
    if (total <= 0) {
        m_importProgress->clear();
        return;
    }
    m_importProgress->setText(
        m_model.text("Enviando la exportación… %1 de %2 MB", "Sending the export… %1 of %2 MB")
            .arg(QString::asprintf("%.1f", double(m_model.importSent()) / 1048576.0),
                 QString::asprintf("%.1f", double(total) / 1048576.0)));
    m_importProgress->adjustSize();
    placeBusyIndicator();
    m_importProgress->raise();
}

} // namespace quorvale
