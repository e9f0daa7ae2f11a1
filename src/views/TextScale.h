#pragma once

#include <QRect>

// The fixed views are drawn to a design given in points at a stock desktop's 11-point font.
// Where the user asked the desktop for larger text, every font, size and frame of those views
// grows by the same factor, so that their layout holds and no text is cut.

// The application font (the desktop's, as Qt's own widgets use it) over 11 points; never below
// 1, so that a desktop with a smaller font keeps the design, and at most 2.5.
qreal textScale();

// A design length, size, point or frame in pixels at the current text scale.
int pt(qreal designLength);
QSize pt(QSize design);
QPoint pt(QPoint design);
QRect pt(const QRect& design);
