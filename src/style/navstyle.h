#pragma once

// The looks shared by the navigation views (sidebar, meetings, search): text styles and tints
// derived from the application's font and palette, tinted symbols, and the row highlight.

#include <QColor>
#include <QFont>
#include <QIcon>

class QPainter;
class QPalette;
class QRectF;
class QWidget;

namespace quorvale::navstyle {

// The one scale of text styles of the whole window, from the application's font size.
enum class Text {
    Brand, // the name on the access screen
    LargeTitle,
    Title,
    Title2,
    Title3,
    Headline,
    Body,
    Callout,
    Caption,
    SectionHeader,
};

QFont font(Text style, const QFont &base);
// base, falling back to a colour emoji font before any other: page icons are emoji, and the
// system's first fallback for some of them is a monochrome symbol font.
QFont withEmoji(const QFont &base);
// Sets the widget's font to style, from the application's font (so calling it twice is harmless).
void setFont(QWidget *widget, Text style);

// Less important text (dates, explanations), and the least important (chevrons).
QColor secondary(const QPalette &palette);
QColor tertiary(const QPalette &palette);
void setTextColor(QWidget *widget, const QColor &color);

// A text colour that follows the scheme: worked out again from the surroundings' palette when
// the scheme changes (refreshTone, for every widget).
enum class Tone { Primary, Secondary, Tertiary };
QColor toneColor(const QPalette &palette, Tone tone);
void setTone(QWidget *widget, Tone tone);
void refreshTone(QWidget *widget);

// The accent of meetings and recordings, and of the sidebar's symbols.
QColor orange();

// A drawn symbol (icons/<name>.svg) recoloured, so that it reads on light and dark palettes.
QIcon tintedIcon(const QString &name, const QColor &color);
// The same in a tone of the application's palette, looked up whenever it is drawn.
QIcon tintedIcon(const QString &name, Tone tone);

// The rounded fill behind a selected row, and behind a row under the mouse.
void paintRowBackground(QPainter *painter, const QRectF &rect, const QPalette &palette,
                        bool selected, bool hovered);
// The ring around what has the keyboard's focus: a block, a row, a card.
void paintFocusRing(QPainter *painter, const QRectF &rect, const QPalette &palette);

} // namespace quorvale::navstyle
