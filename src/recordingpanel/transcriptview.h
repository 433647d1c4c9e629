#pragma once

// The transcript the model holds: its status, and once completed its segments with their start
// times, selectable; otherwise its error or a hint to refresh.

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace quorvale {

class WorkspaceModel;

class TranscriptView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TranscriptView)

public:
    explicit TranscriptView(WorkspaceModel &model, QWidget *parent = nullptr);

    // "mm:ss" of a segment's start, minutes not carried into hours.
    static QString segmentTime(double seconds);

private:
    void refresh();

    WorkspaceModel &m_model;
    QLabel *m_title;
    QLabel *m_status;
    QLabel *m_notice;
    QLabel *m_hint;
    QWidget *m_segments;
    QVBoxLayout *m_segmentList;
};

} // namespace quorvale
