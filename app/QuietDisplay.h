// Keeps the decks' running displays from repainting more than what changed: the worker moves the
// seek bar and rewrites the time label several times a second per deck, and on a desktop each
// repaint of a styled scroll bar costs far more than the mix itself.
#pragma once

class QLabel;
class QScrollBar;
class QWidget;

namespace mixora::app {

// Sets the bar's value; repaints it only when its thumb moves by a pixel or more. Signals and
// the value itself are exactly as with setValue.
void setValueQuietly(QScrollBar *bar, int value);

// A label that the bar partly covers (the bar is drawn over it) no longer repaints the bar
// whenever its text changes: the covered strip is cut from the label. The label also fills its
// own black background (its text keeps the colour its style sheet gave it), so nothing behind it is
// redrawn either, and draws its text from glyphs it looked up once per character instead of laying
// each new text out (it looks the same). For labels on black.
void keepLabelOffBar(QLabel *label, const QScrollBar *bar);

// A panel whose style sheet paints it one colour still counts as see-through, so each repaint of a
// control on it (the seek bar's thumb, the waveform) repaints the whole window behind it. The panel
// fills itself with that colour instead and counts as opaque; it looks the same.
void keepPanelOpaque(QWidget *panel);

// A scroll bar whose style paints every pixel of it (the seek bars under the usual styles) counts as
// opaque, so a move of its thumb no longer repaints the panel behind it first. Tried by drawing the
// bar once on nothing: a style that leaves any pixel see-through keeps the bar as it is.
void keepBarOpaque(QScrollBar *bar);

} // namespace mixora::app
