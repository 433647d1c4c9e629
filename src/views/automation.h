#pragma once

// A line-based channel through which an end-to-end test drives and watches the real window.
// It is built only with QUORVALE_TEST_HOOKS, and exists only when QUORVALE_AUTOMATION names a
// socket path, which only tests set; the socket is private to the user.
//
//   state                 the model's published state, as one JSON object
//   widget NAME           whether the named widget is there, visible and enabled, and its text
//   click NAME            clicks a visible, enabled button, or triggers an enabled action
//   type NAME TEXT        replaces a line edit's text, key by key, as typing does
//   choose NAME VALUE     picks the entry of a combo box whose data or text is VALUE
//   grab NAME PATH        saves the screen's pixels where a window is ("-": the main one) as PNG
//   render NAME PATH      saves the whole named widget as PNG, parts scrolled out of view too
//   select ID             selects a page or a view ("@meetings"), as the sidebar does
//   pick PATH             the open and save panels answer PATH from now on
//   quit                  ends the application
//
// NAME may be SCOPE/NAME: the one nearest the widget named or showing SCOPE, e.g. an account's
// row by its e-mail ("ana@example.test/approve"); a button or an action may be named by its text.
// NAME#N is the Nth visible widget of that name.
// "state" tells whether the last edit is in the local draft ("kept"), "widget" what its labels
// show ("shown").
//
// Every answer is one line: a JSON object, with "error" set when the command failed.

#include <QJsonObject>
#include <QLocalServer>
#include <QObject>

namespace quorvale {

class QuorvaleApp;

class Automation final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Automation)

public:
    Automation(QuorvaleApp &app, const QString &socketPath, QObject *parent = nullptr);

    bool isListening() const { return m_server.isListening(); }

private:
    void accept();
    QJsonObject answer(const QString &line);

    QuorvaleApp &m_app;
    QLocalServer m_server;
};

} // namespace quorvale
