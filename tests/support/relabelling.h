#pragma once

// Checks that switching the language relabels every open window at once: every label, button,
// action (menus included) and window title that is a translation changes, and switching back
// restores it. Walking the widgets instead of listing them catches the text nobody remembered.

#include "model/document.h"
#include "model/workspacemodel.h"
#include "service/service.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMap>
#include <QStringList>
#include <QTextDocumentFragment>
#include <QWidget>

#include <algorithm>

namespace quorvale::test {

// Texts that read the same in both languages: names, the server's address, and the block
// kinds, which the page's menu lists by their own names.
inline QStringList sameInBothLanguages()
{
    QStringList same{QStringLiteral("Quorvale"),      QStringLiteral("OK"),
                     QStringLiteral("Servidor"),      QStringLiteral("Idioma / Language"),
                     Service::defaultOrigin().host(), Service::defaultOrigin().toString()};
    for (std::string_view kind : document::editableBlockTypes)
        same << QString::fromUtf8(kind.data(), static_cast<qsizetype>(kind.size()));
    return same;
}

namespace detail {

// Where an object is, by names (or class and place among its like) up to its top-level window:
// stable when a view rebuilds its widgets the same way.
inline QString placeOf(const QObject *object)
{
    QStringList steps;
    for (; object; object = object->parent()) {
        QString step = object->objectName();
        if (step.isEmpty()) {
            step = QString::fromLatin1(object->metaObject()->className());
            if (const QObject *parent = object->parent()) {
                int index = 0;
                for (const QObject *sibling : parent->children()) {
                    if (sibling == object)
                        break;
                    index += sibling->metaObject() == object->metaObject() ? 1 : 0;
                }
                step += u'#' + QString::number(index);
            }
        }
        steps.prepend(step);
    }
    return steps.join(u'/');
}

// Every text a user reads in the visible top-level windows, by place.
inline QMap<QString, QString> shownTexts()
{
    QMap<QString, QString> texts; // a dialog is both a window and a child: one place
    const auto keep = [&](const QObject *object, const QString &what, const QString &text) {
        if (!text.isEmpty())
            texts.insert(placeOf(object) + u':' + what, text);
    };
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        if (!window->isVisible())
            continue;
        keep(window, QStringLiteral("title"), window->windowTitle());
        const QList<QObject *> objects = window->findChildren<QObject *>();
        for (const QObject *object : objects) {
            if (const auto *label = qobject_cast<const QLabel *>(object))
                keep(object, QStringLiteral("text"), label->text());
            else if (const auto *button = qobject_cast<const QAbstractButton *>(object))
                keep(object, QStringLiteral("text"), button->text());
            else if (const auto *action = qobject_cast<const QAction *>(object))
                keep(object, QStringLiteral("text"), action->text());
        }
    }
    return texts;
}

// Digits, signs, emoji and empty markup are not words to translate.
inline bool hasWords(const QString &text)
{
    const QString shown =
        Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
    return std::any_of(shown.begin(), shown.end(), [](QChar c) { return c.isLetter(); });
}

} // namespace detail

// Switches model to Spanish, then English, then back; answers what did not follow, one line
// per text ("" when everything did). alsoSame adds texts that are data, not words (names,
// emails, page titles).
inline QString relabelFaults(WorkspaceModel &model, const QStringList &alsoSame = {})
{
    model.setLanguage(QStringLiteral("es"));
    const QMap<QString, QString> spanish = detail::shownTexts();
    model.setLanguage(QStringLiteral("en"));
    const QMap<QString, QString> english = detail::shownTexts();
    model.setLanguage(QStringLiteral("es"));
    const QMap<QString, QString> back = detail::shownTexts();

    QStringList faults;
    if (spanish.isEmpty())
        faults << QStringLiteral("no open window shows any text");
    for (auto it = spanish.cbegin(); it != spanish.cend(); ++it) {
        const QString &text = it.value();
        const bool same = !detail::hasWords(text) || sameInBothLanguages().contains(text) ||
                          alsoSame.contains(text);
        if (!same && english.value(it.key()) == text)
            faults << QStringLiteral("%1 stays \"%2\" in English").arg(it.key(), text);
        if (back.value(it.key()) != text)
            faults << QStringLiteral("%1 comes back as \"%2\", not \"%3\"")
                          .arg(it.key(), back.value(it.key()), text);
    }
    return faults.join(u'\n');
}

} // namespace quorvale::test
