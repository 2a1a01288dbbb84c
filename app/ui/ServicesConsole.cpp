#include "app/ui/ServicesConsole.h"

#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <sstream>

#include "app/ui/CrashConsole.h"
#include "platform/backend/Backend.h"
#include "platform/backend/InstallationsBackend.h"
#include "platform/backend/RemoteConfigBackend.h"
#include "platform/console/Console.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/net/NSURLSession.h"
#include "services/core/RZRInstallations.h"
#include "services/core/RZROptions.h"
#include "services/core/VUVEzu.h"
#include "services/measurement/APMMeasurement.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/transport/ZDTCORTransportSummary.h"
#include "services/util/PRMPromise.h"

namespace {

using Args = sim::Console::Arguments;

// Lives as long as the process: requests may still arrive while it exits.
std::unique_ptr<sim::Backend>& backend() {
    static auto* b = new std::unique_ptr<sim::Backend>();
    return *b;
}

// Lets answers in flight arrive and their handling run on the main queue.
void letRequestsFinish() {
    PRMWaitForAllPromises(10);
    sim::Console::settle();
}

std::shared_ptr<RZRInstallations> defaultInstallations() {
    if (!VUVEzu::isDefaultAppConfigured()) return nullptr;
    try {
        return RZRInstallations::installations();
    } catch (const NSException&) {
        return nullptr;
    }
}

std::string requestsText(const std::string& service) {
    std::ostringstream out;
    auto requests = backend()->requests(service);
    out << requests.size() << " request(s)";
    for (const auto& r : requests) {
        out << "\n  " << (r.service.empty() ? "-" : r.service) << " "
            << (r.endpoint.empty() ? "-" : r.endpoint) << " " << r.status
            << (r.scripted ? " (scripted) " : " ") << r.request.method << " " << r.request.path;
    }
    return out.str();
}

std::string backendCommand(sim::Console& console, const Args& args) {
    if (!backend()) {
        const char* base = std::getenv("LUMBREL_SERVICE_BASE_URL");
        return std::string("No simulated backend: the services are at ") + (base ? base : "?") +
               ".";
    }
    const std::string what = args.empty() ? "requests" : args[0];
    if (what == "requests") {
        console.say(requestsText(args.size() > 1 ? args[1] : ""));
        return "";
    }
    if (what == "state") {
        std::ostringstream out;
        out << "Backend at " << backend()->url();
        for (const auto& name : backend()->serviceNames()) {
            out << "\n" << name << ": " << backend()->service(name)->describeState();
        }
        console.say(out.str());
        return "";
    }
    if (what == "clear") {
        backend()->clearScripts();
        backend()->clearRequests();
        console.say("Backend scripts and recorded requests cleared.");
        return "";
    }
    if ((what == "script" || what == "delay") && (args.size() == 4 || args.size() == 5)) {
        char* end = nullptr;
        const long number = std::strtol(args[3].c_str(), &end, 10);
        if (*end != '\0') return "Not a number: " + args[3] + ".";
        if (what == "script" && (number < 100 || number > 599)) {
            return "Status must be 100 to 599.";
        }
        if (what == "delay" && number < 0) return "The delay is in milliseconds, 0 or more.";
        const sim::BackendScript script =
            what == "script" ? sim::BackendScript::withStatus(static_cast<int>(number))
                             : sim::BackendScript::delayed(std::chrono::milliseconds(number));
        const std::string times = args.size() == 5 ? args[4] : "1";
        bool ok = false;
        if (times == "always") {
            ok = backend()->setDefault(args[1], args[2], script);
        } else {
            const long count = std::strtol(times.c_str(), &end, 10);
            if (*end != '\0' || count < 1) return "Times must be a number or always.";
            ok = true;
            for (long i = 0; i < count && ok; ++i) {
                ok = backend()->enqueue(args[1], args[2], script);
            }
        }
        if (!ok) {
            std::string known;
            for (const auto& name : backend()->serviceNames()) {
                for (const auto& e : backend()->service(name)->endpoints()) {
                    known += (known.empty() ? "" : ", ") + name + " " + e;
                }
            }
            return "Unknown endpoint. Endpoints: " + known + ".";
        }
        console.say(
            args[1] + " " + args[2] +
            (what == "script" ? " answers " + args[3] : " answers after " + args[3] + " ms") +
            (times == "always" ? " from now on." : " (" + times + " time(s))."));
        return "";
    }
    return "Usage: backend [requests [service] | state | clear | script <service> <endpoint> "
           "<status> [times|always] | delay <service> <endpoint> <milliseconds> [times|always]]";
}

std::string registrationWord(RZRInstallationsRegistrationStatus status) {
    switch (status) {
        case RZRInstallationsRegistrationStatus::Registered:
            return "registered";
        case RZRInstallationsRegistrationStatus::Unregistered:
            return "not registered yet";
        default:
            return "invalid";
    }
}

// The measurement engine's database: every stored raw event, the queued
// bundles, and the current session.
std::string measurementSummary() {
    auto engine = APMMeasurement::sharedInstance();
    if (!engine) return "Measurement: no engine.";
    const auto summary = engine->summary();
    if (!summary.started) return "Measurement: not started (collection off).";
    std::ostringstream out;
    out << std::fixed << std::setprecision(3);
    out << "Measurement: " << summary.storedEvents.size() << " stored event(s)";
    for (const APMEvent& event : summary.storedEvents)
        out << "\n  " << event.name() << " (" << event.origin() << ") at " << event.timestamp();
    out << "\n  " << summary.queuedBundles.size() << " queued bundle(s)";
    for (const auto& bundle : summary.queuedBundles)
        out << "\n  bundle " << bundle.rowID << " ending " << bundle.endTimestamp << ", "
            << bundle.compressedBytes << " bytes" << (bundle.realtime ? ", realtime" : "")
            << ", retried " << bundle.retryCount << " time(s)";
    if (summary.hasSessionReporter) {
        out << "\n  session "
            << (summary.sessionID ? std::to_string(*summary.sessionID) : std::string("(none)"))
            << ", number "
            << (summary.sessionNumber ? std::to_string(*summary.sessionNumber)
                                      : std::string("(none)"))
            << (summary.sessionExpired ? ", expired" : ", current");
    }
    return out.str();
}

std::string servicesCommand(sim::Console& console) {
    letRequestsFinish();
    console.say(ZDTCORTransportSummary());
    console.say(measurementSummary());
    auto installations = defaultInstallations();
    if (!installations) {
        console.say("Installations: the services are not configured.");
        return "";
    }
    auto controller = installations->installationsIDController();
    auto read = controller->installationsStore()->installationForAppID(controller->appID(),
                                                                       controller->appName());
    sim::MainLoop::runUntil([&] { return !read->isPending(); }, std::chrono::seconds(10));
    std::ostringstream out;
    out << "Installations (" << controller->appName() << "):";
    if (auto item = read->value().as<RZRInstallationsItem>()) {
        out << "\n  identifier " << item->reruzeraInstallationID.value_or("(none)") << ", "
            << registrationWord(item->registrationStatus);
        auto expiry = item->authToken ? item->authToken->expirationDate() : std::nullopt;
        if (expiry) {
            const double left = expiry->unixSeconds() - sim::wallClockSeconds();
            out << "\n  auth token expires in " << static_cast<long long>(std::floor(left)) << " s";
        } else {
            out << "\n  no auth token";
        }
    } else {
        out << "\n  no installation stored";
    }
    auto backoff = std::dynamic_pointer_cast<RZRInstallationsBackoffController>(
        controller->backoffController());
    auto last = backoff ? backoff->lastEventData() : nullptr;
    if (!last) {
        out << "\n  backoff: no request yet, requests allowed";
    } else {
        const char* kinds[] = {"success", "recoverable failure", "unrecoverable failure"};
        const auto kind = static_cast<std::size_t>(last->eventType());
        const double now = sim::toSeconds(sim::Clock::now().time_since_epoch());
        const double wait = last->backoffTimeInterval() - (now - last->lastEventDate());
        out << "\n  backoff: last outcome " << (kind < 3 ? kinds[kind] : "other") << " (x"
            << last->eventCount() << "), ";
        if (backoff->isNextRequestAllowed()) {
            out << "requests allowed";
        } else {
            out << "next request in " << std::fixed << std::setprecision(1) << wait << " s";
        }
    }
    console.say(out.str());
    return "";
}

}  // namespace

// remoteconfig set <key> <value> | remove <key> | fetch | show
static std::string remoteConfigCommand(sim::Console& console, const Args& args) {
    const std::string what = args.empty() ? "show" : args[0];
    auto config = DIROdadevOvered::remoteConfig();
    if (what == "set" || what == "remove") {
        if (!backend() || !VUVEzu::isDefaultAppConfigured()) return "No simulated backend here.";
        if (args.size() != (what == "set" ? 3u : 2u))
            return "Usage: remoteconfig set <key> <value> | remove <key>";
        const auto project = VUVEzu::defaultApp()->options()->projectID().value_or("");
        if (what == "set")
            backend()->remoteConfig().setValue(project, "reruzera", args[1], args[2]);
        else
            backend()->remoteConfig().removeValue(project, "reruzera", args[1]);
        console.say("The backend's " + args[1] +
                    (what == "set" ? " is now " + args[2] + "." : " is gone."));
        return "";
    }
    if (what == "fetch") {
        waitForRemoteConfigAtLaunch();  // one fetch at a time
        std::optional<std::string> outcome;
        config->fetchWithExpirationDuration(0, [&, config](DIROdadevOveredFetchStatus status,
                                                           std::optional<NSError> error) {
            if (status != DIROdadevOveredFetchStatus::Success || error) {
                outcome =
                    "Fetch failed: " +
                    (error ? error->localizedDescription()
                           : std::string("status ") + std::to_string(static_cast<long>(status)));
                return;
            }
            config->activateWithCompletion([&](bool changed, std::optional<NSError>) {
                DispatchQueue::main()->async([&, changed] {
                    outcome =
                        changed ? "Fetched and activated." : "Fetched; nothing new to activate.";
                });
            });
        });
        sim::MainLoop::runUntil([&] { return outcome.has_value(); }, std::chrono::seconds(30));
        console.say(outcome.value_or("The fetch did not finish."));
        return "";
    }
    if (what != "show")
        return "Usage: remoteconfig [set <key> <value> | remove <key> | fetch | show]";
    std::ostringstream out;
    out << "Remote config: last fetch status " << static_cast<long>(config->lastFetchStatus())
        << ", activated:";
    for (const auto& key : config->allKeysFromSource(DIROdadevOveredSource::Remote))
        out << "\n  " << key << " = "
            << config->configValueForKey(key)->stringValue().value_or("(bytes)");
    console.say(out.str());
    return "";
}

std::string startSimulatedBackend() {
    if (const char* base = std::getenv("LUMBREL_SERVICE_BASE_URL"); base && *base) return base;
    backend() = std::make_unique<sim::Backend>();
    sim::setServiceHostOverride(backend()->url());
    return backend()->url();
}

void waitForRemoteConfigAtLaunch() {
    sim::MainLoop::runUntil([] { return DIROdadevOvered::fetchAndActivateInFlight() == 0; },
                            std::chrono::seconds(30));
    sim::Console::settle();
    DIROdadevOvered::waitForPendingWrites();
}

void readInstallationAtLaunch() {
    if (auto installations = defaultInstallations()) {
        installations->installationIDWithCompletion([](auto, auto) {});
    }
}

void addServicesCommands(sim::Console& console) {
    console.addCommand("backend",
                       "backend [requests [service] | state | clear | script <service> <endpoint> "
                       "<status> [times|always] | delay <service> <endpoint> <ms> [times|always]]",
                       "the simulated hosted services: requests received, their state, scripted "
                       "answers",
                       [&console](const Args& args) { return backendCommand(console, args); });
    console.addCommand("services", "services",
                       "the service clients: stored events and uploads, installation identifier, "
                       "token expiry, backoff",
                       [&console](const Args&) { return servicesCommand(console); });
    console.addCommand(
        "remoteconfig", "remoteconfig [set <key> <value> | remove <key> | fetch | show]",
        "remote values: set them at the backend, fetch and activate, show the activated ones",
        [&console](const Args& args) { return remoteConfigCommand(console, args); });
    addCrashCommands(console);
}
