#include "services/script/APMPMeasurementEditing.h"

#include <memory>
#include <optional>
#include <string>

#include "services/script/APMPEventEditing.h"
#include "services/script/APMPModules.h"
#include "services/script/APMPNativeFunctions.h"

std::shared_ptr<APMPEventEditing> APMPLoadMeasurementEventEditing(
    const APMPBProgram& program, const APMEventEditingModules& modules, NSError* error) {
    auto editing = std::make_shared<APMPEventEditing>();
    auto lookup = modules.remoteConfigValue;
    editing->setModuleCreator(
        [lookup]() -> APMPValueRef {
            return std::make_shared<APMPKeyValueStore>(
                "internal.remoteConfig", [lookup](const std::string& key) {
                    return lookup ? lookup(key) : std::optional<std::string>();
                });
        },
        "internal.remoteConfig");
    Value metadata(modules.appMetadata);
    editing->setModuleCreator(
        [metadata]() -> APMPValueRef {
            return std::make_shared<APMPObjectProvider>("internal.appMetadata",
                                                        [metadata] { return metadata; });
        },
        "internal.appMetadata");
    editing->setModuleCreator(
        []() -> APMPValueRef {
            return std::make_shared<APMPMessageLogger>(std::make_shared<APMScriptLogger>());
        },
        "internal.logger");
    APMPErrorSlot failure;
    editing->loadProgram(program, failure);
    if (failure) {
        if (error) *error = *failure;
        return nullptr;
    }
    return editing;
}

APMMeasurement::EventEditingOutcome APMPRunMeasurementEventEditing(APMPEventEditing& editing,
                                                                   const APMPEvent& event) {
    APMMeasurement::EventEditingOutcome outcome;
    APMPErrorSlot failure;
    editing.handleEvent(event, failure);
    if (failure) {
        outcome.failed = true;
        return outcome;
    }
    if (editing.hasEdits()) outcome.editedEvent = editing.eventContext().outputEvent();
    if (editing.hasCreatedEvents()) outcome.createdEvents = editing.eventContext().eventsToLog();
    return outcome;
}

void APMPInstallMeasurementEventEditing() {
    APMRemoteConfig::setEventEditingLoader(APMPLoadMeasurementEventEditing);
    APMMeasurement::setEventEditingRunner(APMPRunMeasurementEventEditing);
}
