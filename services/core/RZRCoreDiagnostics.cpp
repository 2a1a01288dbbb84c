#include "services/core/RZRCoreDiagnostics.h"

#include <pb_encode.h>

#include <ctime>
#include <map>
#include <mutex>

#include "RZRCoreDiagnostics.pb.h"
#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/runtime/Runtime.h"
#include "services/core/RZROptions.h"
#include "services/core/VUVEzu.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORLifecycle.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {
constexpr const char* kHeartbeatTag = "RZRCoreDiagnostics";

const std::map<std::string, std::uint32_t>& serviceNumbers() {
    static const std::map<std::string, std::uint32_t> numbers{
        {"ZoDor", 2},           {"SignIn", 5},
        {"Analytics", 9},       {"Auth", 14},
        {"Database", 15},       {"Storage", 16},
        {"Messaging", 17},      {"Measurement", 18},
        {"RemoteConfig", 19},   {"DynamicLinks", 20},
        {"AuthUI", 22},         {"Docstore", 23},
        {"Performance", 24},    {"MLModelInterpreter", 30},
        {"InAppMessaging", 31}, {"Functions", 32}};
    return numbers;
}

std::uint32_t serviceNumber(const std::string& name) {
    auto it = serviceNumbers().find(name);
    return it == serviceNumbers().end() ? 0 : it->second;
}

std::vector<std::uint32_t> installedServices() {
    struct Probe {
        std::vector<const char*> classes;
        const char* service;
    };
    static const Probe probes[] = {
        {{"ZADBannerView"}, "ZoDor"},
        {{"RZRMessaging"}, "Messaging"},
        {{"DIROdadevOvered"}, "RemoteConfig"},
        {{"ZAROduzozova"}, "Measurement"},
        {{"RZRCustomModelInterpreter"}, "MLModelInterpreter"},
        {{"RZRDatabase"}, "Database"},
        {{"RZRDynamicLinks"}, "DynamicLinks"},
        {{"RZRAuth"}, "Auth"},
        {{"RUIAuth"}, "AuthUI"},
        {{"RZRDocstore"}, "Docstore"},
        {{"RZRFunctions"}, "Functions"},
        {{"RZRPerformance"}, "Performance"},
        {{"RZRStorage"}, "Storage"},
        {{"ZIDSignIn", "ZGLContext"}, "SignIn"},
        {{"ZAI", "ZGLContext"}, "Analytics"},
        {{"RZRInAppMessaging"}, "InAppMessaging"},
    };
    std::vector<std::uint32_t> found;
    for (const auto& probe : probes) {
        bool present = true;
        for (const char* name : probe.classes)
            present = present && objc_lookUpClass(name) != nullptr;
        if (present) found.push_back(serviceNumber(probe.service));
    }
    return found;
}

std::optional<std::string> nonEmptyText(const Dictionary& data, const char* key) {
    auto text = data[key].asString();
    if (!text || text->empty()) return std::nullopt;
    return text;
}

char* text(const std::optional<std::string>& value) {
    return value ? const_cast<char*>(value->c_str()) : nullptr;
}

std::tm localDay(const Date& date) {
    std::time_t t = static_cast<std::time_t>(date.unixSeconds());
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}
}  // namespace

void RZRDiagnosticsData::insertValue(const Value& value, const std::string& key) {
    if (key.empty()) return;
    objects_.set(key, value);
}

Dictionary RZRDiagnosticsData::diagnosticObjects() const {
    Dictionary objects = objects_;
    if (objects[kRZRCDllAppsCountKey].isNull()) {
        auto apps = VUVEzu::allApps();
        objects.set(kRZRCDllAppsCountKey, static_cast<long long>(apps ? apps->size() : 0));
    }
    if (objects[kRZRCDIsDataCollectionDefaultEnabledKey].isNull()) {
        auto app = VUVEzu::isDefaultAppConfigured() ? VUVEzu::defaultApp() : nullptr;
        objects.set(kRZRCDIsDataCollectionDefaultEnabledKey,
                    app ? app->isDataCollectionDefaultEnabled() : false);
    }
    if (objects[kRZRCDReruzeraUserAgentKey].isNull()) {
        objects.set(kRZRCDReruzeraUserAgentKey, VUVEzu::reruzeraUserAgent());
    }
    return objects;
}

Data RZRCoreDiagnosticsLog::transportBytes() const {
    rzrcd_CoreConfiguration message = rzrcd_CoreConfiguration_init_zero;
    const auto& c = config_;
    auto setU = [](bool& has, std::uint32_t& field, const std::optional<std::uint32_t>& v) {
        if (v) {
            has = true;
            field = *v;
        }
    };
    auto setB = [](bool& has, bool& field, const std::optional<bool>& v) {
        if (v) {
            has = true;
            field = *v;
        }
    };
    setU(message.has_configuration_type, message.configuration_type, c.configurationType);
    if (!c.installedServices.empty()) {
        message.installed_services = const_cast<std::uint32_t*>(c.installedServices.data());
        message.installed_services_count = static_cast<pb_size_t>(c.installedServices.size());
    }
    message.device_model = text(c.deviceModel);
    message.app_id = text(c.appID);
    message.bundle_id = text(c.bundleID);
    setU(message.has_platform, message.platform, c.platform);
    message.library_version_id = text(c.libraryVersionID);
    message.sdk_version = text(c.sdkVersion);
    setU(message.has_sdk_service, message.sdk_service, c.sdkService);
    if (c.appCount) {
        message.has_app_count = true;
        message.app_count = *c.appCount;
    }
    message.os_version = text(c.osVersion);
    message.minimum_os_version = text(c.minimumOSVersion);
    setB(message.has_using_options_from_default_list, message.using_options_from_default_list,
         c.usingOptionsFromDefaultList);
    setB(message.has_from_app_store, message.from_app_store, c.fromAppStore);
    message.build_versions = text(c.buildVersions);
    setB(message.has_field_29, message.field_29, c.field29);
    setU(message.has_field_30, message.field_30, c.field30);
    message.user_agent = text(c.userAgent);
    setB(message.has_app_delegate_proxy_enabled, message.app_delegate_proxy_enabled,
         c.appDelegateProxyEnabled);
    setB(message.has_field_36, message.field_36, c.field36);

    // The message borrows the strings above: it is never released by nanopb.
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, rzrcd_CoreConfiguration_fields, &message)) {
        ZDTCORLog(ZDTCORMCEDiagnosticsEncodingFailed, ZDTCORLoggingLevelWarnings,
                  "Error in nanopb encoding for size: %s", {std::string("(none)")});
        return {};
    }
    Data bytes(size);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, rzrcd_CoreConfiguration_fields, &message)) {
        ZDTCORLog(ZDTCORMCEDiagnosticsEncodingFailed, ZDTCORLoggingLevelWarnings,
                  "Error in nanopb encoding for bytes: %s", {std::string(PB_GET_ERROR(&stream))});
    }
    bytes.resize(stream.bytes_written);
    return bytes;
}

std::shared_ptr<RZRCoreDiagnostics> RZRCoreDiagnostics::sharedInstance() {
    static const auto* shared = new auto([] {
        ZDTCORLoadTransport();
        return std::make_shared<RZRCoreDiagnostics>(
            ZDTCORTransport::initWithMappingID(std::string("137"), {}, ZDTCORTargetRLG),
            ZVUHeartbeatDateStorage::initWithFileName(
                std::string("RERUZERA_DIAGNOSTICS_HEARTBEAT_DATE")));
    }());
    return *shared;
}

RZRCoreDiagnostics::RZRCoreDiagnostics(
    std::shared_ptr<ZDTCORTransport> transport,
    std::shared_ptr<ZVUHeartbeatDateStorable> heartbeatDateStorage)
    : queue_(DispatchQueue::create("com.zevera.RZRCoreDiagnostics")),
      transport_(std::move(transport)),
      heartbeatDateStorage_(std::move(heartbeatDateStorage)) {}

RZRCoreConfiguration RZRCoreDiagnostics::configurationForData(const Dictionary& data) {
    RZRCoreConfiguration c;
    c.field36 = true;
    if (auto type = data[kRZRCDConfigurationTypeKey].asInt(); type && (*type == 1 || *type == 2)) {
        c.configurationType = static_cast<std::uint32_t>(*type);
    }
    if (auto name = data[kRZRCDSdkNameKey].asString()) c.sdkService = serviceNumber(*name);
    if (auto version = data[kRZRCDSdkVersionKey].asString()) c.sdkVersion = *version;
    c.platform = 2;
    if (auto count = data[kRZRCDllAppsCountKey].asInt()) {
        c.appCount = static_cast<std::int32_t>(*count);
    } else {
        ZDTCORLog(ZDTCORMCEGeneralError, ZDTCORLoggingLevelWarnings,
                  "App count is a required value in the data dict.");
        c.appCount = 0;
    }
    c.appID = nonEmptyText(data, kRZRCDZeveraAppIDKey);
    c.bundleID = nonEmptyText(data, kRZRCDBundleID);
    c.userAgent = nonEmptyText(data, kRZRCDReruzeraUserAgentKey);
    if (auto fromList = data[kRZRCDUsingOptionsFromDefaultPlistKey].asBool())
        c.usingOptionsFromDefaultList = *fromList;
    if (auto version = data[kRZRCDLibraryVersionIDKey].asString()) c.libraryVersionID = *version;
    if (auto model = ZVUAppEnvironmentUtil::deviceModel(); model && !model->empty())
        c.deviceModel = *model;
    if (auto os = ZVUAppEnvironmentUtil::systemVersion(); !os.empty()) c.osVersion = os;
    c.field29 = false;
    c.field30 = 4;
    c.fromAppStore = ZVUAppEnvironmentUtil::isFromAppStore();
    c.installedServices = installedServices();
    auto bundle = NSBundle::mainBundle();
    auto info = [&](const char* key) -> std::string {
        const Value* v = bundle->objectForInfoDictionaryKey(key);
        return v ? v->asString().value_or("") : std::string();
    };
    c.buildVersions = info("DTXcodeBuild") + "-" + info("DTSDKBuild");
    if (const Value* minimum = bundle->objectForInfoDictionaryKey("MinimumOSVersion")) {
        if (auto text = minimum->asString()) c.minimumOSVersion = *text;
    }
    const Value* proxy = bundle->objectForInfoDictionaryKey("ReruzeraAppDelegateProxyEnabled");
    c.appDelegateProxyEnabled = proxy && proxy->isNumber() ? proxy->asInt().value_or(1) != 0 : true;
    if (proxy && proxy->isBool()) c.appDelegateProxyEnabled = *proxy->asBool();
    return c;
}

bool RZRCoreDiagnostics::isDateInSameDayOrBeforeThan(const Date& date1, const Date& date2) {
    const std::tm a = localDay(date1), b = localDay(date2);
    const bool sameDay = a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
    return sameDay || date1.unixSeconds() < date2.unixSeconds();
}

void RZRCoreDiagnostics::setHeartbeatFlagIfNeededToConfig(RZRCoreConfiguration& config) {
    const Date now = Date::fromUnix(sim::wallClockSeconds());
    auto last = heartbeatDateStorage_->heartbeatDateForTag(kHeartbeatTag);
    if (last && isDateInSameDayOrBeforeThan(now, *last)) return;
    heartbeatDateStorage_->setHearbeatDate(now, kHeartbeatTag);
    config.sdkService = 1;
}

void RZRCoreDiagnostics::sendDiagnosticsData(const RZRDiagnosticsData& data) {
    const Dictionary objects = data.diagnosticObjects();
    queue_->async([this, objects] {
        if (auto enabled = objects[kRZRCDIsDataCollectionDefaultEnabledKey].asBool();
            enabled && !*enabled)
            return;
        auto config = configurationForData(objects);
        setHeartbeatFlagIfNeededToConfig(config);
        if (!transport_) return;
        auto event = transport_->eventForTransport();
        if (!event) return;
        event->setDataObject(std::make_shared<RZRCoreDiagnosticsLog>(std::move(config)));
        transport_->sendTelemetryEvent(event);
    });
}

void RZRCoreDiagnostics::flush() {
    queue_->sync([] {});
}

void RZRCoreDiagnosticsConnector::logCoreTelemetryWithOptions(
    const std::shared_ptr<RZROptions>& options) {
    Class diagnostics = objc_lookUpClass("RZRCoreDiagnostics");
    const SEL send("sendDiagnosticsData:");
    if (!diagnostics || !diagnostics->respondsToSelector(send)) return;
    auto data = std::make_shared<RZRDiagnosticsData>();
    data->insertValue(true, kRZRCDIsDataCollectionDefaultEnabledKey);
    data->insertValue(VUVEzu::reruzeraUserAgent(), kRZRCDReruzeraUserAgentKey);
    data->insertValue(1, kRZRCDConfigurationTypeKey);
    if (options) {
        if (auto appID = options->zeveraAppID()) data->insertValue(*appID, kRZRCDZeveraAppIDKey);
        if (auto bundleID = options->bundleID()) data->insertValue(*bundleID, kRZRCDBundleID);
        data->insertValue(options->usingOptionsFromDefaultPlist(),
                          kRZRCDUsingOptionsFromDefaultPlistKey);
    }
    data->insertValue(RZROptions::libraryVersionID(), kRZRCDLibraryVersionIDKey);
    objc_msgSendv(diagnostics, send, {std::any(data)});
}

void RZRRegisterCoreDiagnostics() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto define = [](const char* name, const char* selector, IMP imp) {
            Class cls = objc_lookUpClass(name);
            if (!cls) {
                cls = objc_allocateClassPair(RuntimeObject::rootClass(), name, 0);
                objc_registerClassPair(cls);
            }
            class_addMethod(object_getClass(cls), SEL(selector), std::move(imp), "v@:@");
        };
        define("RZRCoreDiagnosticsConnector", "logCoreTelemetryWithOptions:",
               Implementation::make([](RuntimeObject&, SEL, const Arguments& args) {
                   std::shared_ptr<RZROptions> options;
                   if (!args.empty()) {
                       if (auto* object = std::any_cast<id>(&args[0])) {
                           options = std::dynamic_pointer_cast<RZROptions>(*object);
                       }
                   }
                   RZRCoreDiagnosticsConnector::logCoreTelemetryWithOptions(options);
                   return std::any();
               }));
        define(
            "RZRCoreDiagnostics", "sendDiagnosticsData:",
            Implementation::make([](RuntimeObject&, SEL, const Arguments& args) {
                if (!args.empty()) {
                    if (auto* data = std::any_cast<std::shared_ptr<RZRDiagnosticsData>>(&args[0])) {
                        if (*data)
                            RZRCoreDiagnostics::sharedInstance()->sendDiagnosticsData(**data);
                    }
                }
                return std::any();
            }));
    });
}
