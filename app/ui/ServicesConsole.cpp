#include "app/ui/ServicesConsole.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <type_traits>
#include <variant>

#include "app/mute/RemoteValues.h"
#include "app/ui/CrashConsole.h"
#include "platform/backend/Backend.h"
#include "platform/backend/CrashReports.h"
#include "platform/backend/ExperimentsBackend.h"
#include "platform/backend/InstallationsBackend.h"
#include "platform/backend/MeasurementBackend.h"
#include "platform/backend/RemoteConfigBackend.h"
#include "platform/backend/TransportBackend.h"
#include "platform/console/Console.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/net/NSURLSession.h"
#include "services/core/RZRInstallations.h"
#include "services/core/RZROptions.h"
#include "services/core/VUVEzu.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"
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

// Hex text as the crash reporter writes it, back to its bytes; other text
// as it is.
std::string unhex(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return text;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string jsonText(const nlohmann::json& value) {
    return value.is_string() ? unhex(value.get<std::string>()) : value.dump();
}

// The last crash report the backend decoded: each file (whole, or the first
// line that does not decode), the custom keys and the log lines.
std::string crashReportText() {
    auto* transport =
        dynamic_cast<sim::TransportBackend*>(backend()->service(sim::TransportBackend::kName));
    if (!transport) return "No transport service.";
    const auto reports = transport->crashReports();
    std::ostringstream out;
    out << reports.size() << " crash report(s) received; " << backend()->undecodableUploads()
        << " upload(s) that did not decode";
    if (reports.empty()) return out.str();
    const auto& report = reports.back();
    out << "\nThe last report: build " << report.buildVersion << " (" << report.displayVersion
        << "), " << report.files.size() << " file(s)";
    std::vector<std::pair<std::string, std::string>> keys;
    std::vector<std::string> logs;
    for (const auto& [name, contents] : report.files) {
        std::size_t lines = 0, bad = 0;
        std::istringstream in(contents);
        for (std::string line; std::getline(in, line);) {
            ++lines;
            auto json = nlohmann::json::parse(line, nullptr, false);
            if (json.is_discarded()) {
                if (!bad) bad = lines;
                continue;
            }
            if (!json.is_object()) continue;
            if (auto kv = json.find("kv"); kv != json.end() && kv->is_object())
                keys.emplace_back(jsonText(kv->value("key", nlohmann::json())),
                                  jsonText(kv->value("value", nlohmann::json())));
            if (auto log = json.find("log"); log != json.end() && log->is_object())
                logs.push_back(jsonText(log->value("msg", nlohmann::json())));
        }
        out << "\n  " << name << ": " << contents.size() << " byte(s), " << lines << " line(s), "
            << (bad ? "line " + std::to_string(bad) + " does not decode" : std::string("whole"));
    }
    out << "\n  " << keys.size() << " custom key(s)";
    for (const auto& [key, value] : keys) out << "\n    " << key << " = " << value;
    constexpr std::size_t kLogsShown = 5;
    out << "\n  " << logs.size() << " log line(s)"
        << (logs.size() > kLogsShown ? ", the last " + std::to_string(kLogsShown) : "");
    for (std::size_t i = logs.size() > kLogsShown ? logs.size() - kLogsShown : 0; i < logs.size();
         ++i)
        out << "\n    " << logs[i];
    return out.str();
}

std::string paramText(const sim::MeasurementParam& param) {
    std::ostringstream out;
    out << param.name << "=";
    if (param.stringValue)
        out << *param.stringValue;
    else if (param.intValue)
        out << *param.intValue;
    else if (param.doubleValue)
        out << *param.doubleValue;
    else
        out << "(" << param.nested.size() << " nested)";
    return out.str();
}

// The measurement bundles the backend accepted: their events (with their
// parameters) and audiences.
std::string bundlesText() {
    auto* measurement =
        dynamic_cast<sim::MeasurementBackend*>(backend()->service(sim::MeasurementBackend::kName));
    if (!measurement) return "No measurement service.";
    const auto bundles = measurement->acceptedBundles();
    std::ostringstream out;
    out << bundles.size() << " measurement bundle(s) accepted, " << measurement->rejectedCount()
        << " upload(s) rejected";
    for (std::size_t i = 0; i < bundles.size(); ++i) {
        const auto& bundle = bundles[i];
        out << "\n  bundle " << i + 1 << ": " << bundle.events.size() << " event(s), "
            << bundle.audienceResults.size() << " audience(s), checksum "
            << (!bundle.checksum         ? "none"
                : bundle.checksumMatches ? "right"
                                         : "wrong");
        for (const auto& event : bundle.events) {
            out << "\n    " << event.name;
            std::string params;
            for (const auto& param : event.params)
                params += (params.empty() ? "" : ", ") + paramText(param);
            if (!params.empty()) out << " (" << params << ")";
        }
        for (const auto& audience : bundle.audienceResults)
            out << "\n    audience " << audience.audienceID
                << (audience.newAudience ? " (new)" : "");
    }
    return out.str();
}

std::string flagText(const sim::ExperimentsBackend::FlagValue& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>)
                return v;
            else if constexpr (std::is_same_v<T, bool>)
                return v ? "true" : "false";
            else {
                std::ostringstream out;
                out << v;
                return out.str();
            }
        },
        value);
}

// What the experiments service served: each request's clients and the
// snapshot it assigns them.
std::string experimentsText() {
    auto* experiments =
        dynamic_cast<sim::ExperimentsBackend*>(backend()->service(sim::ExperimentsBackend::kName));
    if (!experiments) return "No experiments service.";
    const auto received = experiments->received();
    const auto snapshots = experiments->snapshots();
    std::ostringstream out;
    out << received.size() << " experiment fetch(es) served";
    for (const auto& request : received) {
        for (const auto& client : request.clients) {
            out << "\n  " << client.sdkName << ": ";
            auto found = snapshots.find(client.sdkName);
            if (found == snapshots.end()) {
                out << "no snapshot";
                continue;
            }
            out << found->second.size() << " experiment(s)";
            for (const auto& experiment : found->second) {
                out << "\n    "
                    << (experiment.id ? "experiment " + std::to_string(*experiment.id)
                                      : std::string("launched"));
                for (const auto& flag : experiment.flags)
                    out << ", " << flag.name << " = " << flagText(flag.value);
            }
        }
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
    if (what == "crash" || what == "bundles" || what == "experiments") {
        console.say(what == "crash"     ? crashReportText()
                    : what == "bundles" ? bundlesText()
                                        : experimentsText());
        return "";
    }
    if (what == "experiment" && args.size() == 4) {
        // One experiment for the measurement engine, deciding one flag.
        char* end = nullptr;
        const long id = std::strtol(args[1].c_str(), &end, 10);
        if (*end != '\0' || id < 1 || id > INT32_MAX) return "Not an experiment number: " + args[1] + ".";
        sim::ExperimentsBackend::FlagValue value = args[3];
        if (args[3] == "true" || args[3] == "false") value = args[3] == "true";
        auto* experiments = dynamic_cast<sim::ExperimentsBackend*>(
            backend()->service(sim::ExperimentsBackend::kName));
        experiments->setSnapshot("app_measurement",
                                 {{static_cast<std::int32_t>(id), {{args[2], value}}}});
        console.say("The backend assigns experiment " + args[1] + " (" + args[2] + " = " + args[3] +
                    ") to the measurement engine.");
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
    return "Usage: backend [requests [service] | state | crash | bundles | experiments | "
           "experiment <id> <flag> <value> | clear | script <service> <endpoint> <status> [times|always] | delay <service> <endpoint> "
           "<milliseconds> [times|always]]";
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

namespace {

// A console fetch: its outcome, once known.
struct ConsoleFetch {
    std::optional<std::string> outcome;
};

// The fetch the console last gave up on, until `remoteconfig show` has told
// its outcome.
std::shared_ptr<ConsoleFetch>& lateFetch() {
    static auto* fetch = new std::shared_ptr<ConsoleFetch>();
    return *fetch;
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
        // Shared with the completions, which may come after the console
        // gave up; they write it on the main queue only.
        auto fetch = std::make_shared<ConsoleFetch>();
        lateFetch() = fetch;
        const auto conclude = [fetch](std::string text) {
            DispatchQueue::main()->async(
                [fetch, text = std::move(text)] { fetch->outcome = text; });
        };
        config->fetchWithExpirationDuration(0, [conclude, config](DIROdadevOveredFetchStatus status,
                                                                  std::optional<NSError> error) {
            if (status != DIROdadevOveredFetchStatus::Success || error) {
                conclude(
                    "Fetch failed: " +
                    (error ? error->localizedDescription()
                           : std::string("status ") + std::to_string(static_cast<long>(status))));
                return;
            }
            config->activateWithCompletion([conclude](bool changed, std::optional<NSError>) {
                conclude(changed ? "Fetched and activated." : "Fetched; nothing new to activate.");
            });
        });
        sim::MainLoop::runUntil([&fetch] { return fetch->outcome.has_value(); },
                                sim::Console::patience());
        if (fetch->outcome) {
            lateFetch().reset();
            console.say(*fetch->outcome);
        } else {
            console.say("The fetch did not finish; remoteconfig show tells how it ends.");
        }
        return "";
    }
    if (what != "show")
        return "Usage: remoteconfig [set <key> <value> | remove <key> | fetch | show]";
    std::ostringstream out;
    if (const auto& late = lateFetch()) {
        out << "The fetch the console gave up on: " << late->outcome.value_or("still going on.")
            << "\n";
        if (late->outcome) lateFetch().reset();
    }
    out << "Remote config: last fetch status " << static_cast<long>(config->lastFetchStatus())
        << ", activated:";
    for (const auto& key : config->allKeysFromSource(DIROdadevOveredSource::Remote))
        out << "\n  " << key << " = "
            << config->configValueForKey(key)->stringValue().value_or("(bytes)");
    console.say(out.str());
    return "";
}

std::optional<std::string> expectServicesFact(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "installation") {
        auto installations = defaultInstallations();
        if (!installations)
            return "Expected the installation " + args[1] + ", the services are not configured.";
        auto controller = installations->installationsIDController();
        auto read = controller->installationsStore()->installationForAppID(controller->appID(),
                                                                           controller->appName());
        sim::MainLoop::runUntil([&] { return !read->isPending(); }, sim::Console::patience());
        auto item = read->value().as<RZRInstallationsItem>();
        const std::string found =
            item && item->registrationStatus == RZRInstallationsRegistrationStatus::Registered
                ? "registered"
                : "not-registered";
        if (found != args[1])
            return "Expected the installation " + args[1] + ", it is " + found + ".";
        return "";
    }
    if (args.size() == 3 && args[0] == "remote-value") {
        // As the mute engine reads it.
        const auto value = remotevalues::text(args[1]).value_or("(none)");
        if (value != args[2])
            return "Expected the remote value " + args[1] + " = " + args[2] +
                   ", the mute engine reads " + value + ".";
        return "";
    }
    if ((args.size() == 2 && args[0] == "experiment") ||
        (args.size() == 3 && args[0] == "switch")) {
        // As the measurement engine has applied it.
        auto configuration = APMMeasurement::remoteConfig();
        if (!configuration) return "The measurement engine has not started.";
        if (args[0] == "experiment") {
            const auto ids = configuration->experimentIDs().value_or(std::vector<std::int64_t>{});
            for (auto id : ids)
                if (std::to_string(id) == args[1]) return "";
            return "Expected experiment " + args[1] + " to be active, it is not.";
        }
        for (const auto& [flag, on] : configuration->experimentSwitchStates()) {
            if (flag != args[1]) continue;
            if ((on ? "on" : "off") == args[2]) return "";
            return "Expected the switch " + flag + " " + args[2] + ", it is " + (on ? "on" : "off") +
                   ".";
        }
        return "No experiment-decided switch " + args[1] + ".";
    }
    if (args.size() == 2 && args[0] == "backend-event") {
        if (!backend()) return "No simulated backend here.";
        auto* measurement = dynamic_cast<sim::MeasurementBackend*>(
            backend()->service(sim::MeasurementBackend::kName));
        std::size_t found = 0;
        for (const auto& bundle : measurement->acceptedBundles())
            for (const auto& event : bundle.events)
                if (event.name == args[1]) ++found;
        if (found == 0)
            return "Expected the backend to have accepted a bundle with " + args[1] +
                   ", it has none.";
        return "";
    }
    return std::nullopt;
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
    console.addCommand(
        "backend",
        "backend [requests [service] | state | crash | bundles | experiments | experiment "
        "<id> <flag> <value> | clear | script <service> <endpoint> <status> [times|always] | delay <service> "
        "<endpoint> <ms> [times|always]]",
        "the simulated hosted services: requests received, their state, the last "
        "crash report, measurement bundles and experiments served, an experiment to "
        "assign, scripted answers",
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
