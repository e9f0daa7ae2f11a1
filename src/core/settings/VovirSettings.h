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
// Whether the application may send what the user did not ask to send: crash reports (its own
// and the system's) and the hourly sync. True unless "VSSendDiagnostics" is false, or the
// administrator sets VELMORA_SEND_DIAGNOSTICS=0 in the environment. Problem reports, sent
// when the user asks, are never held back.
bool sendDiagnostics();
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
