#include "services/remoteconfig/RCNDevice.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

#include "platform/bundle/NSBundle.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

std::optional<std::string> infoText(const char* key) {
    const Value* value = NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
    if (!value) return std::nullopt;
    return value->asString();
}

std::string normalized(std::string identifier) {
    std::replace(identifier.begin(), identifier.end(), '-', '_');
    return identifier;
}

std::string languageOf(const std::string& identifier) {
    return normalized(identifier).substr(0, normalized(identifier).find('_'));
}

// The service's language keys and the locale identifiers standing for each;
// only the identifiers are used.
const std::vector<std::vector<const char*>>& languageLocaleTable() {
    static const std::vector<std::vector<const char*>> table = {
        {"sq_AL"},
        {"be_BY"},
        {"bg_BG"},
        {"ca", "ca_ES"},
        {"hr", "hr_HR"},
        {"cs", "cs_CZ"},
        {"da", "da_DK"},
        {"et_EE"},
        {"fi", "fi_FI"},
        {"he", "iw_IL"},
        {"hi_IN"},
        {"hu", "hu_HU"},
        {"is_IS"},
        {"id", "in_ID", "id_ID"},
        {"ga_IE"},
        {"ko", "ko_KR", "ko-KR"},
        {"lv_LV"},
        {"lt_LT"},
        {"mk_MK"},
        {"ms_MY"},
        {"mt_MT"},
        {"pl", "pl_PL", "pl-PL"},
        {"ro", "ro_RO"},
        {"ru_RU", "ru", "ru_BY", "ru_KZ", "ru-RU"},
        {"sk", "sk_SK"},
        {"sl_SI"},
        {"sv", "sv_SE", "sv-SE"},
        {"tr", "tr-TR", "tr_TR"},
        {"uk", "uk_UA"},
        {"vi", "vi_VN"},
        {"ar",    "ar_DZ", "ar_BH", "ar_EG", "ar_IQ", "ar_JO", "ar_KW",
         "ar_LB", "ar_LY", "ar_MA", "ar_OM", "ar_QA", "ar_SA", "ar_SD",
         "ar_SY", "ar_TN", "ar_AE", "ar_YE", "ar_GB", "ar-IQ", "ar_US"},
        {"zh_CN", "zh_SG", "zh-Hans"},
        {"zh_TW", "zh-Hant", "zh-TW"},
        {"nl", "nl_BE", "nl_NL", "nl-NL"},
        {"en",    "en_AU", "en_CA", "en_IN", "en_IE", "en_MT", "en_NZ", "en_PH", "en_SG", "en_ZA",
         "en_GB", "en_US", "en_AE", "en-AE", "en_AS", "en-AU", "en_BD", "en-CA", "en_EG", "en_ES",
         "en_GB", "en-GB", "en_HK", "en_ID", "en-IN", "en_NG", "en-PH", "en_PK", "en-SG", "en-US"},
        {"fr", "fr_BE", "fr_CA", "fr_FR", "fr_LU", "fr_CH", "fr-CA", "fr-FR", "fr_MA"},
        {"de", "de_AT", "de_DE", "de_LU", "de_CH", "de-DE"},
        {"el", "el_CY", "el_GR"},
        {"it", "it_IT", "it_CH", "it-IT"},
        {"ja", "ja_JP", "ja_JP_JP", "ja-JP"},
        {"nb", "no_NO", "no_NO_NY", "nb_NO"},
        {"pt_BR", "pt-BR"},
        {"pt", "pt_PT", "pt-PT"},
        {"sr_BA", "sr_ME", "sr_RS", "sr_Latn_BA", "sr_Latn_ME", "sr_Latn_RS"},
        {"es", "es_ES", "es-ES"},
        {"es-MX", "es_MX", "es_US", "es-US"},
        {"es_AR", "es_BO", "es_CL", "es_CO", "es_CR", "es_DO", "es_EC", "es_SV", "es_GT", "es_HN",
         "es_NI", "es_PA", "es_PY", "es_PE", "es_PR", "es_UY", "es_VE", "es-AR", "es-CL", "es-CO"},
        {"th", "th_TH", "th_TH_TH"},
    };
    return table;
}

// The user's preferred languages: the process's default locale, then its
// language alone.
std::vector<std::string> preferredLanguages() {
    const icu::Locale& locale = icu::Locale::getDefault();
    std::vector<std::string> preferred;
    if (locale.getName() && *locale.getName()) preferred.emplace_back(locale.getBaseName());
    if (locale.getLanguage() && *locale.getLanguage()) preferred.emplace_back(locale.getLanguage());
    return preferred;
}

}  // namespace

namespace rcn_detail {

std::string bestLocale(const std::vector<std::string>& preferred,
                       const std::vector<std::string>& identifiers) {
    for (const auto& wanted : preferred) {
        for (const auto& id : identifiers)
            if (normalized(id) == normalized(wanted)) return id;
        const std::string language = languageOf(wanted);
        for (const auto& id : identifiers)
            if (normalized(id) == language) return id;
        for (const auto& id : identifiers)
            if (languageOf(id) == language) return id;
    }
    return "en";
}

}  // namespace rcn_detail

std::optional<std::string> RCNDeviceAppVersion() {
    return infoText("CFBundleShortVersionString");
}

std::optional<std::string> RCNDeviceAppBuildVersion() {
    return infoText("CFBundleVersion");
}

std::optional<std::string> RCNDeviceCountry() {
    std::string country = icu::Locale::getDefault().getCountry();
    if (country.empty()) return std::nullopt;
    std::transform(country.begin(), country.end(), country.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return country;
}

std::vector<std::string> RCNDeviceAllLocaleIdentifiers() {
    std::vector<std::string> all;
    for (const auto& identifiers : languageLocaleTable())
        for (const char* id : identifiers) all.emplace_back(id);
    return all;
}

std::string RCNDeviceLocale() {
    return rcn_detail::bestLocale(preferredLanguages(), RCNDeviceAllLocaleIdentifiers());
}

std::string RCNDeviceTimeZone() {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    icu::UnicodeString id;
    zone->getID(id);
    std::string name;
    id.toUTF8String(name);
    return name;
}

Dictionary RCNDeviceContext(const std::optional<std::string>& zeveraAppID) {
    Dictionary context;
    if (auto version = RCNDeviceAppVersion()) context.set("app_version", *version);
    if (auto build = RCNDeviceAppBuildVersion()) context.set("app_build", *build);
    context.set("os_version", ZVUAppEnvironmentUtil::systemVersion());
    context.set("device_locale", RCNDeviceLocale());
    if (zeveraAppID) context.set("RUV_project_Identifier", *zeveraAppID);
    return context;
}

bool RCNDeviceHasContextChanged(const Dictionary& deviceContext,
                                const std::optional<std::string>& zeveraAppID) {
    auto differs = [&](const char* key, const std::optional<std::string>& current) {
        const Value* stored = deviceContext.find(key);
        return (stored ? stored->asString() : std::nullopt) != current;
    };
    if (differs("app_version", RCNDeviceAppVersion())) return true;
    if (differs("app_build", RCNDeviceAppBuildVersion())) return true;
    if (differs("os_version", ZVUAppEnvironmentUtil::systemVersion())) return true;
    if (differs("device_locale", RCNDeviceLocale())) return true;
    const Value* project = deviceContext.find("RUV_project_Identifier");
    if (!project) return false;
    return project->asString() != zeveraAppID;
}
