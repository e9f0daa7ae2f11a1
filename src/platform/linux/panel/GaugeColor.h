#pragma once

#include <QColor>

// The gauge's colour in any panel: the symbolic grey reads on light and dark panels alike, and
// hosts that recolour symbolic icons replace it with their own text colour.
inline QColor gaugeGrey()
{
    return QColor(0xBE, 0xBE, 0xBE);
}
