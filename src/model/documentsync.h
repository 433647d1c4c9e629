#pragma once

// The model's document area: loading the server's copy, saving with revisions one save at a
// time, and the encrypted local draft that keeps every edit between saves (with the rules that
// never let a draft the application has not read be overwritten), and plain backups.

#include "draftwriter.h"
#include "json/json.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

namespace quorvale {

class WorkspaceModel;

class DocumentSync final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DocumentSync)

public:
    DocumentSync(WorkspaceModel &model, SecretStore &secrets);

    QCoro::Task<> load();
    QCoro::Task<> save();

    void keepDraft();
    QCoro::Task<> flushDraft();
    bool editsKept() const;
    bool loaded() const { return m_loaded; }
    bool draftOpened() const { return m_draftOpened; }
    quint64 draftNumber() const { return m_draftAsked; }
    // A new sign-in: nothing of the last one's draft is known.
    void reset();
    // Drops the draft key kept in memory, after the drafts already asked for.
    void forgetKeys() { m_drafts.forget(); }

    bool exportDraft();
    void exportAndReload();

signals:
    void saveEnded();

private:
    struct SaveTurn;
    void endSave();

    JSON draftPayload() const;
    void draftWritten(quint64 number, const QString &error);
    QCoro::Task<> openDraft(QString account, quint64 session);
    QCoro::Task<> setDraftAside(QString account, quint64 session, QString reason);
    void recoverDraft(const JSON &draft, qint64 serverRevision);

    WorkspaceModel &m_model;
    DraftWriter m_drafts;
    bool m_loaded = false;       // the current sign-in has the server's document
    bool m_draftOpened = false;  // the account's draft was read, found absent, or set aside
    bool m_openingDraft = false; // a retry of the draft is under way
    bool m_toldDraftClosed = false;
    quint64 m_draftAsked = 0;    // number of the last draft handed to the writer
    quint64 m_draftAnswered = 0; // number of the last draft the writer answered for
    bool m_editsKept = false;    // the draft holds the last edit
    bool m_saving = false;
};

} // namespace quorvale
