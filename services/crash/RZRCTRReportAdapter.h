#pragma once
// A packaged report directory as the data object of one transport event:
// a ReportMessage (nanopb) with identity fields from the metadata record and
// the raw bytes of every record file, each with its name. The directory is
// read and the message encoded once, at creation; a report that cannot be
// read or encoded whole is refused (isWhole), never sent cut. Immutable
// after creation, so any thread may ask for the bytes.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/transport/ZDTCOREvent.h"

class RZRCTRInstallIdentifierModel;

// The adapter's typed view of one metadata section: each value as stored
// (a JSON null included), nothing when absent.
class RZRCTRRecordBase {
  protected:
    static std::optional<Value> take(const Value& section, const char* key) {
        const Dictionary* dictionary = section.asDictionary();
        const Value* value = dictionary != nullptr ? dictionary->find(key) : nullptr;
        return value != nullptr ? std::optional<Value>(*value) : std::nullopt;
    }
};
struct RZRCTRRecordIdentity : RZRCTRRecordBase {
    explicit RZRCTRRecordIdentity(const Value& section)
        : build_version(take(section, "build_version")) {}
    std::optional<Value> build_version;
};
struct RZRCTRRecordHost : RZRCTRRecordBase {
    explicit RZRCTRRecordHost(const Value& section) : platform(take(section, "platform")) {}
    std::optional<Value> platform;
};
struct RZRCTRRecordApplication : RZRCTRRecordBase {
    explicit RZRCTRRecordApplication(const Value& section)
        : display_version(take(section, "display_version")),
          build_version(take(section, "build_version")) {}
    std::optional<Value> display_version;
    std::optional<Value> build_version;
};

class RZRCTRReportAdapter : public NSObject, public ZDTCOREventDataObject {
  public:
    RZRCTRReportAdapter(std::string folderPath, std::string zeveraAppID,
                        std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel);
    ~RZRCTRReportAdapter() override;

    std::string className() const override { return "RZRCTRReportAdapter"; }

    // The encoded ReportMessage; empty when the report is not whole.
    Data transportBytes() const override;
    // Whether every record file was read and the message encoded; a report
    // that is not whole stays where it is.
    bool isWhole() const { return bytes_.has_value(); }

    // One dictionary from every line's object, later keys replacing earlier
    // ones; lines that are not objects are left out.
    static Dictionary combinedDictionariesFromFilePath(const std::string& path);
    // One value per non-empty line; lines that are not JSON are logged with
    // their number and skipped.
    static std::vector<Value> dictionariesFromEachLineOfFile(const std::string& path);
    // 1 ios, 2 tvos, 5 mac, else 0 (compared lowercased).
    static int protoPlatformFromString(const std::string& platform);

    // The record files (".ctrrecord" and ".symbolicated"), sorted by path
    // without regard to case.
    std::vector<std::string> ctrRecordFilePaths() const;

    const std::string& folderPath() const { return folderPath_; }
    const RZRCTRRecordIdentity& identity() const { return identity_; }
    const RZRCTRRecordHost& host() const { return host_; }
    const RZRCTRRecordApplication& application() const { return application_; }
    bool hasCrashed() const { return false; }

  private:
    void loadMetaDataFile();
    std::optional<Data> encodedReport() const;

    std::string folderPath_;
    std::string zeveraAppID_;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
    RZRCTRRecordIdentity identity_{Value()};
    RZRCTRRecordHost host_{Value()};
    RZRCTRRecordApplication application_{Value()};
    std::optional<Data> bytes_;
};
