#pragma once

#include <QStringList>

class Store;

// The maker's commands on the service's database. Each returns the exit code: 0 done,
// 1 failed (said on stderr).
namespace MakerCommands {

int devices(Store& store, bool json);
int conversation(Store& store, const QString& device, bool json);
// byMail: to the user's newest address as well, sent by the running service.
int reply(Store& store, const QString& device, const QString& text, bool byMail);
int retract(Store& store, const QString& messageId);
int crashes(Store& store, bool json);
int crash(Store& store, const QString& signature, bool json);
// Everything kept about a device as JSON, and erasing it all.
int exportDevice(Store& store, const QString& device);
int forgetDevice(Store& store, const QString& device);
// Keeps a device's reports out of the inbox and the notifications, or lets them in again.
int blockDevice(Store& store, const QString& device, bool blocked);
// Each version's devices and crash-free share, today and over 7 days.
int versions(Store& store, bool json);
// Resolves a group in a version, ignores it, or reopens it ("resolved", "ignored", "new").
int decide(Store& store, const QString& signature, const QString& state, const QString& version);

} // namespace MakerCommands
