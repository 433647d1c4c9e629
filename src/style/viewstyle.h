#pragma once

// Looks of the shell's views (access screen, toolbar, settings): text sizes and tints derived
// from the widget's font and palette, the prominent button, and JSON text as a QString.

#include "style/navstyle.h"
#include <QAccessible>
#include <QColor>
#include <QFont>

#include <QString>

#include <string_view>

class QAbstractButton;
class QLayout;
class QVBoxLayout;
class QWidget;

namespace quorvale::style {

using Text = navstyle::Text;

// The style's font, from the widget's current one.
void setFont(QWidget *widget, Text style);
// Less important text, and the least important.
void setSecondary(QWidget *widget);
void setTertiary(QWidget *widget);
void setTextColor(QWidget *widget, const QColor &color);
// The warm accent of the unsaved-changes status.
QColor orange();
// The one button a screen leads to, with 22 pixels of padding across and 8 down.
void setProminent(QAbstractButton *button);

// A tool tip that is also the name assistive technology reads: an icon-only control has no other.
void setToolTipName(QWidget *widget, const QString &text);
// The role assistive technology reads for a widget of our own, where Qt's guess is "client".
void setAccessibleRole(QWidget *widget, QAccessible::Role role);

// A column of rows with no margins of its own, laid out in owner.
QVBoxLayout *bareColumn(QWidget *owner, int spacing);
// Empties the layout and deletes the widgets it held.
void clearLayout(QLayout &layout);

} // namespace quorvale::style
