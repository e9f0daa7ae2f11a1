#pragma once

#include "engine/Probe.h"

#include <memory>

// The probe of the operating system this build targets, reading the live system.
std::unique_ptr<Probe> makeSystemProbe();
