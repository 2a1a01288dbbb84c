#pragma once
// Connects the script runtime to the measurement engine: the configuration
// loads its event-editing program through it, and the write path runs each
// event through the loaded program.

#include <memory>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"

class APMPEventEditing;

// Installs both hooks; once is enough, repeating is harmless.
void APMPInstallMeasurementEventEditing();

// The hooks themselves: an editing instance with the configuration's
// modules ("internal.remoteConfig", "internal.appMetadata",
// "internal.logger") and the program loaded, or null with the error; and
// one event run through it.
std::shared_ptr<APMPEventEditing> APMPLoadMeasurementEventEditing(
    const APMPBProgram& program, const APMEventEditingModules& modules, NSError* error);
APMMeasurement::EventEditingOutcome APMPRunMeasurementEventEditing(APMPEventEditing& editing,
                                                                   const APMPEvent& event);
