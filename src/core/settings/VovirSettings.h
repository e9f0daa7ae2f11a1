#pragma once

#include <QtGlobal>

class UserDefaults;

// The user's choices for the panel text and the sampling period, over the standard store.
namespace VovirSettings {

bool showCPU();
bool showMemory();
bool showNetwork();
bool showBattery();
bool compactFormat();
// 2, 3 or 5; anything else stored reads 3, and reading never rewrites the stored value.
qint64 intervalSeconds();

void setShowCPU(bool on);
void setShowMemory(bool on);
void setShowNetwork(bool on);
void setShowBattery(bool on);
void setCompactFormat(bool on);
// Stored as given, unvalidated: the reading rule above brings it back into range.
void setIntervalSeconds(qint64 seconds);

// The store every setting reads; the standard store unless a test or a tool replaces it.
UserDefaults& store();
void setStore(UserDefaults* store);

} // namespace VovirSettings
