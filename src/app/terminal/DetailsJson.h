#pragma once

#include "model/VovirDetails.h"

#include <QJsonObject>

// The readings beyond the four figures as members of the --json line, each documented in the
// manual page; an absent reading is null. battery is the line's battery object, or null.
void addDetailsJson(QJsonObject& line, const VovirDetails& details);
