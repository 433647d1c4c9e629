#pragma once

// The meetings list: a name search and a date range bound to the model's meeting filter, three
// counters over every meeting, the filtered meetings (a click opens the meeting's page), and a
// button that creates a meeting page and saves it.

#include "json/json.h"

#include <QWidget>

class QLabel;
class QLayout;
class QLineEdit;
class QListView;
class QPushButton;

namespace quorvale {

class RowModel;
class SelectionBinding;
class WorkspaceModel;

class MeetingsView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeetingsView)

public:
    explicit MeetingsView(WorkspaceModel &model, QWidget *parent = nullptr);

    struct Counters
    {
        qint64 meetings = 0;
        qint64 imported = 0;   // entries whose "imported" is true
        qint64 recordings = 0; // the sum of the numeric "audioCount"s, truncated
    };
    static Counters count(const JSON::Array &meetings);

private:
    void styleHeader();
    void styleFilter();
    void setUpList();
    QLayout *headerRow();
    QLayout *filterRow();
    QLayout *counterRow();
    void connectControls();
    void relabel();
    void showFilter();
    void showMeetings();
    void createMeeting();

    WorkspaceModel &m_model;
    RowModel *m_rows;
    QListView *m_list;
    SelectionBinding *m_selection;
    QLabel *m_title;
    QLabel *m_subtitle;
    QPushButton *m_newMeeting;
    QLineEdit *m_query;
    QLineEdit *m_from;
    QLineEdit *m_to;
    QPushButton *m_clear;
    QLabel *m_meetingCount;
    QLabel *m_importedCount;
    QLabel *m_recordingCount;
    QLabel *m_meetingLabel;
    QLabel *m_importedLabel;
    QLabel *m_recordingLabel;
};

} // namespace quorvale
