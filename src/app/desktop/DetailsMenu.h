#pragma once

#include "model/VovirDetails.h"

#include <QStringList>

class QMenu;

// The status menu's details, one submenu a group after the four figures: the processor, memory
// and swap, the links, the battery, the disks and the programs. A group with nothing to say is
// hidden, and so is a reading the machine lacks.
class DetailsMenu final {
public:
    explicit DetailsMenu(QMenu* menu); // adds the groups at the menu's end
    void fill(const VovirDetails& details);

    // The main details in a few lines, for the panel item's tooltip.
    static QStringList toolTipLines(const VovirDetails& details);

private:
    QMenu* m_groups[6] = {};
};
