#include "services/measurement/APMPBCatalogue.h"

#include "Experiments.pb.h"
#include "MeasurementConfig.pb.h"
#include "MeasurementUpload.pb.h"
#include "services/measurement/APMPBCodecs.h"

// Field IDs index these tables; the wire numbers follow the field IDs except
// in MeasurementBundle, whose IDs 6 and 20 to 26 are numbered out of order.
namespace {

const std::uint32_t kMeasurementBatchTypes[] = {0x4008};
const APMPBFieldSpec kMeasurementBatchFields[] = {
    {1, "bundles", &kAPMPBMeasurementBundleType},
};

const std::uint32_t kMeasurementBundleTypes[] = {
    0x82,   0x4008, 0x4008, 0x202,  0x202,  0x202,  0x202, 0x202,  0x2002, 0x2002, 0x2002, 0x2002,
    0x82,   0x2002, 0x2002, 0x202,  0x2002, 0x202,  0x202, 0x2002, 0x2002, 0x22,   0x2002, 0x202,
    0x82,   0x2002, 0x2002, 0x22,   0x4008, 0x2002, 0x82,  0x82,   0x82,   0x2002, 0x202,  0x82,
    0x2002, 0x108,  0x202,  0x2002, 0x2002, 0x42,   0x22,  0x2002, 0x22,   0x4002};
const APMPBFieldSpec kMeasurementBundleFields[] = {
    {1, "protocol_version", nullptr},
    {2, "events", &kAPMPBEventType},
    {3, "user_attributes", &kAPMPBUserAttributeType},
    {4, "upload_timestamp_millis", nullptr},
    {5, "start_timestamp_millis", nullptr},
    {6, "end_timestamp_millis", nullptr},
    {26, "previous_bundle_start_timestamp", nullptr},
    {7, "previous_bundle_end_timestamp", nullptr},
    {8, "platform", nullptr},
    {9, "os_version", nullptr},
    {10, "device_model", nullptr},
    {11, "user_default_language", nullptr},
    {12, "time_zone_offset_minutes", nullptr},
    {13, "install_source", nullptr},
    {14, "app_id", nullptr},
    {15, "field_15", nullptr},
    {16, "app_version", nullptr},
    {17, "library_version", nullptr},
    {18, "upload_library_version", nullptr},
    {19, "resettable_device_id", nullptr},
    {27, "vendor_device_id", nullptr},
    {20, "limited_ad_tracking", nullptr},
    {21, "app_instance_id", nullptr},
    {22, "field_22", nullptr},
    {23, "bundle_index", nullptr},
    {24, "monitoring_data", nullptr},
    {25, "ruv_app_id", nullptr},
    {28, "field_28", nullptr},
    {29, "audience_evaluation_results", &kAPMPBAudienceLeafFilterResultType},
    {30, "installation_id", nullptr},
    {31, "app_version_major", nullptr},
    {32, "app_version_minor", nullptr},
    {33, "app_version_release", nullptr},
    {34, "field_34", nullptr},
    {35, "config_version", nullptr},
    {39, "retry_count", nullptr},
    {41, "zodor_app_id", nullptr},
    {45, "experiment_ids", nullptr},
    {47, "upload_checksum", nullptr},
    {50, "field_50", nullptr},
    {52, "consent_signals", nullptr},
    {53, "consent_status", nullptr},
    {55, "field_55", nullptr},
    {57, "field_57", nullptr},
    {58, "field_58", nullptr},
    {59, "hashed_user_data", &kAPMPBHashedUserDataType},
};

const std::uint32_t kEventTypes[] = {0x4008, 0x2002, 0x202, 0x202, 0x82};
const APMPBFieldSpec kEventFields[] = {
    {1, "params", &kAPMPBEventParamType},
    {2, "name", nullptr},
    {3, "timestamp_millis", nullptr},
    {4, "previous_timestamp_millis", nullptr},
    {5, "field_5", nullptr},
};

const std::uint32_t kEventParamTypes[] = {0x2002, 0x2002, 0x202, 0x802, 0x1002, 0x4008};
const APMPBFieldSpec kEventParamFields[] = {
    {1, "name", nullptr},         {2, "string_value", nullptr},
    {3, "int_value", nullptr},    {4, "float_value", nullptr},
    {5, "double_value", nullptr}, {6, "param_value", &kAPMPBEventParamType},
};

const std::uint32_t kUserAttributeTypes[] = {0x202, 0x2002, 0x2002, 0x202, 0x802, 0x1002};
const APMPBFieldSpec kUserAttributeFields[] = {
    {1, "set_timestamp_millis", nullptr}, {2, "name", nullptr},
    {3, "string_value", nullptr},         {4, "int_value", nullptr},
    {5, "float_value", nullptr},          {6, "double_value", nullptr},
};

const std::uint32_t kAudienceLeafFilterResultTypes[] = {0x82, 0x4002, 0x4002, 0x22};
const APMPBFieldSpec kAudienceLeafFilterResultFields[] = {
    {1, "audience_id", nullptr},
    {2, "current_data", &kAPMPBResultDataType},
    {3, "previous_data", &kAPMPBResultDataType},
    {4, "new_audience", nullptr},
};

const std::uint32_t kResultDataTypes[] = {0x408, 0x408, 0x4008, 0x4008};
const APMPBFieldSpec kResultDataFields[] = {
    {1, "status", nullptr},
    {2, "results", nullptr},
    {3, "dynamic_filter_timestamps", &kAPMPBDynamicFilterResultTimestampType},
    {4, "sequence_filter_timestamps", &kAPMPBSequenceFilterResultTimestampType},
};

const std::uint32_t kDynamicFilterResultTimestampTypes[] = {0x82, 0x202};
const APMPBFieldSpec kDynamicFilterResultTimestampFields[] = {
    {1, "filter_id", nullptr},
    {2, "timestamp_millis", nullptr},
};

const std::uint32_t kSequenceFilterResultTimestampTypes[] = {0x82, 0x208};
const APMPBFieldSpec kSequenceFilterResultTimestampFields[] = {
    {1, "filter_id", nullptr},
    {2, "eval_timestamps", nullptr},
};

const std::uint32_t kHashedUserDataTypes[] = {0x2002, 0x2002, 0x4002};
const APMPBFieldSpec kHashedUserDataFields[] = {
    {1, "field_1", nullptr},
    {2, "field_2", nullptr},
    {3, "address", &kAPMPBAddressType},
};

const std::uint32_t kAddressTypes[] = {0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002};
const APMPBFieldSpec kAddressFields[] = {
    {1, "field_1", nullptr}, {2, "field_2", nullptr}, {3, "field_3", nullptr},
    {4, "field_4", nullptr}, {5, "field_5", nullptr}, {6, "field_6", nullptr},
    {7, "field_7", nullptr},
};

const std::uint32_t kMeasurementConfigTypes[] = {0x202,  0x2002, 0x82, 0x4008, 0x4008,
                                                 0x4008, 0x2002, 0x22, 0x4008};
const APMPBFieldSpec kMeasurementConfigFields[] = {
    {1, "version", nullptr},
    {2, "app_id", nullptr},
    {3, "field_3", nullptr},
    {4, "settings", &kAPMPBSettingType},
    {5, "event_config", &kAPMPBEventConfigType},
    {6, "audiences", &kAPMPBAudienceType},
    {7, "zodor_app_id", nullptr},
    {8, "field_8", nullptr},
    {9, "dynamic_event_editing", &kAPMPBProgramType},
};

const std::uint32_t kSettingTypes[] = {0x2002, 0x2002};
const APMPBFieldSpec kSettingFields[] = {
    {1, "name", nullptr},
    {2, "value", nullptr},
};

const std::uint32_t kEventConfigTypes[] = {0x2002, 0x22, 0x22, 0x82};
const APMPBFieldSpec kEventConfigFields[] = {
    {1, "name", nullptr},
    {2, "is_blocklisted", nullptr},
    {3, "is_custom_conversion", nullptr},
    {4, "sampling_rate", nullptr},
};

const std::uint32_t kAudienceTypes[] = {0x82, 0x4008, 0x4008, 0x22, 0x22};
const APMPBFieldSpec kAudienceFields[] = {
    {1, "audience_id", nullptr},
    {2, "property_filters", &kAPMPBPropertyFilterType},
    {3, "event_filters", &kAPMPBEventFilterType},
    {4, "field_4", nullptr},
    {5, "field_5", nullptr},
};

const std::uint32_t kPropertyFilterTypes[] = {0x82, 0x2002, 0x4002, 0x22, 0x22, 0x22};
const APMPBFieldSpec kPropertyFilterFields[] = {
    {1, "filter_id", nullptr}, {2, "property_name", nullptr}, {3, "filter", &kAPMPBFilterType},
    {4, "dynamic", nullptr},   {5, "sequence", nullptr},      {6, "session_scoped", nullptr},
};

const std::uint32_t kEventFilterTypes[] = {0x82, 0x2002, 0x4008, 0x22, 0x4002, 0x22, 0x22, 0x22};
const APMPBFieldSpec kEventFilterFields[] = {
    {1, "filter_id", nullptr},
    {2, "event_name", nullptr},
    {3, "filters", &kAPMPBFilterType},
    {4, "field_4", nullptr},
    {5, "event_count_filter", &kAPMPBNumberFilterType},
    {6, "dynamic", nullptr},
    {7, "sequence", nullptr},
    {8, "session_scoped", nullptr},
};

const std::uint32_t kFilterTypes[] = {0x4002, 0x4002, 0x22, 0x2002};
const APMPBFieldSpec kFilterFields[] = {
    {1, "string_filter", &kAPMPBStringFilterType},
    {2, "number_filter", &kAPMPBNumberFilterType},
    {3, "complement", nullptr},
    {4, "param_name", nullptr},
};

const std::uint32_t kStringFilterTypes[] = {0x42, 0x2002, 0x22, 0x2008};
const APMPBFieldSpec kStringFilterFields[] = {
    {1, "match_type", nullptr},
    {2, "expression", nullptr},
    {3, "case_sensitive", nullptr},
    {4, "expression_list", nullptr},
};

const std::uint32_t kNumberFilterTypes[] = {0x42, 0x22, 0x2002, 0x2002, 0x2002};
const APMPBFieldSpec kNumberFilterFields[] = {
    {1, "comparison_type", nullptr},      {2, "match_as_float", nullptr},
    {3, "comparison_value", nullptr},     {4, "min_comparison_value", nullptr},
    {5, "max_comparison_value", nullptr},
};

const std::uint32_t kProgramTypes[] = {0x4008, 0x4002};
const APMPBFieldSpec kProgramFields[] = {
    {1, "instructions", &kAPMPBRuntimeEntityType},
    {2, "ogt_activities", &kAPMPBOgtActivitiesType},
};

const std::uint32_t kOgtActivitiesTypes[] = {0x4008};
const APMPBFieldSpec kOgtActivitiesFields[] = {
    {1, "activities", &kAPMPBOgtActivityType},
};

const std::uint32_t kOgtActivityTypes[] = {0x2002, 0x4008};
const APMPBFieldSpec kOgtActivityFields[] = {
    {1, "function_name", nullptr},
    {2, "data", &kAPMPBRuntimeEntityType},
};

const std::uint32_t kRuntimeEntityTypes[] = {0x42, 0x4008, 0x2002, 0x2002, 0x22, 0x1002};
const APMPBFieldSpec kRuntimeEntityFields[] = {
    {1, "type", nullptr},          {2, "value", &kAPMPBRuntimeEntityType},
    {3, "function_name", nullptr}, {4, "string_value", nullptr},
    {5, "boolean_value", nullptr}, {6, "number_value", nullptr},
};

const std::uint32_t kExperimentRequestTypes[] = {0x4002, 0x4008};
const APMPBFieldSpec kExperimentRequestFields[] = {
    {1, "app_property", &kAPMPBAppPropertyType},
    {2, "client_properties", &kAPMPBClientPropertyType},
};

const std::uint32_t kAppPropertyTypes[] = {0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x22, 0x202};
const APMPBFieldSpec kAppPropertyFields[] = {
    {1, "platform", nullptr},        {2, "os_version", nullptr}, {3, "device_model", nullptr},
    {4, "language", nullptr},        {5, "bundle_id", nullptr},  {6, "is_from_app_store", nullptr},
    {7, "library_version", nullptr},
};

const std::uint32_t kClientPropertyTypes[] = {0x2002, 0x2002, 0x202, 0x2002, 0x4008};
const APMPBFieldSpec kClientPropertyFields[] = {
    {1, "sdk_name", nullptr},
    {2, "hashed_diversion_key", nullptr},
    {3, "version", nullptr},
    {4, "app_id", nullptr},
    {5, "custom_properties", &kAPMPBCustomPropertyType},
};

const std::uint32_t kCustomPropertyTypes[] = {0x2002, 0x2002};
const APMPBFieldSpec kCustomPropertyFields[] = {
    {1, "key", nullptr},
    {2, "value", nullptr},
};

const std::uint32_t kExperimentResponseTypes[] = {0x4008, 0x4008};
const APMPBFieldSpec kExperimentResponseFields[] = {
    {1, "snapshots", &kAPMPBSnapshotType},
    {2, "sdk_responses", &kAPMPBSdkResponseType},
};

const std::uint32_t kSnapshotTypes[] = {0x2002, 0x4008};
const APMPBFieldSpec kSnapshotFields[] = {
    {1, "sdk_name", nullptr},
    {2, "experiments", &kAPMPBExperimentType},
};

const std::uint32_t kExperimentTypes[] = {0x82, 0x4008};
const APMPBFieldSpec kExperimentFields[] = {
    {1, "experiment_id", nullptr},
    {2, "flags", &kAPMPBFlagType},
};

const std::uint32_t kFlagTypes[] = {0x2002, 0x202, 0x2002, 0x1002, 0x22};
const APMPBFieldSpec kFlagFields[] = {
    {1, "name", nullptr},         {2, "int_value", nullptr},  {3, "string_value", nullptr},
    {4, "double_value", nullptr}, {5, "bool_value", nullptr},
};

const std::uint32_t kSdkResponseTypes[] = {0x2002, 0x42, 0x4002};
const APMPBFieldSpec kSdkResponseFields[] = {
    {1, "sdk_name", nullptr},
    {2, "error_code", nullptr},
    {3, "snapshot", &kAPMPBSnapshotType},
};

}  // namespace

const APMPBMessageType kAPMPBMeasurementBatchType = {"MeasurementBatch",
                                                     1,
                                                     kMeasurementBatchTypes,
                                                     kMeasurementBatchFields,
                                                     &apmpb_MeasurementBatch_msg,
                                                     sizeof(apmpb_MeasurementBatch),
                                                     MeasurementBatch_DecodeRepeated};
const APMPBMessageType kAPMPBMeasurementBundleType = {"MeasurementBundle",
                                                      46,
                                                      kMeasurementBundleTypes,
                                                      kMeasurementBundleFields,
                                                      &apmpb_MeasurementBundle_msg,
                                                      sizeof(apmpb_MeasurementBundle),
                                                      MeasurementBundle_DecodeRepeated};
const APMPBMessageType kAPMPBEventType = {"Event",
                                          5,
                                          kEventTypes,
                                          kEventFields,
                                          &apmpb_Event_msg,
                                          sizeof(apmpb_Event),
                                          Event_DecodeRepeated};
const APMPBMessageType kAPMPBEventParamType = {"EventParam",
                                               6,
                                               kEventParamTypes,
                                               kEventParamFields,
                                               &apmpb_EventParam_msg,
                                               sizeof(apmpb_EventParam),
                                               EventParam_DecodeRepeated};
const APMPBMessageType kAPMPBUserAttributeType = {"UserAttribute",
                                                  6,
                                                  kUserAttributeTypes,
                                                  kUserAttributeFields,
                                                  &apmpb_UserAttribute_msg,
                                                  sizeof(apmpb_UserAttribute),
                                                  UserAttribute_DecodeRepeated};
const APMPBMessageType kAPMPBAudienceLeafFilterResultType = {
    "AudienceLeafFilterResult",
    4,
    kAudienceLeafFilterResultTypes,
    kAudienceLeafFilterResultFields,
    &apmpb_AudienceLeafFilterResult_msg,
    sizeof(apmpb_AudienceLeafFilterResult),
    AudienceLeafFilterResult_DecodeRepeated};
const APMPBMessageType kAPMPBResultDataType = {"ResultData",
                                               4,
                                               kResultDataTypes,
                                               kResultDataFields,
                                               &apmpb_ResultData_msg,
                                               sizeof(apmpb_ResultData),
                                               ResultData_DecodeRepeated};
const APMPBMessageType kAPMPBDynamicFilterResultTimestampType = {
    "DynamicFilterResultTimestamp",
    2,
    kDynamicFilterResultTimestampTypes,
    kDynamicFilterResultTimestampFields,
    &apmpb_DynamicFilterResultTimestamp_msg,
    sizeof(apmpb_DynamicFilterResultTimestamp),
    DynamicFilterResultTimestamp_DecodeRepeated};
const APMPBMessageType kAPMPBSequenceFilterResultTimestampType = {
    "SequenceFilterResultTimestamp",
    2,
    kSequenceFilterResultTimestampTypes,
    kSequenceFilterResultTimestampFields,
    &apmpb_SequenceFilterResultTimestamp_msg,
    sizeof(apmpb_SequenceFilterResultTimestamp),
    SequenceFilterResultTimestamp_DecodeRepeated};
const APMPBMessageType kAPMPBHashedUserDataType = {"HashedUserData",
                                                   3,
                                                   kHashedUserDataTypes,
                                                   kHashedUserDataFields,
                                                   &apmpb_HashedUserData_msg,
                                                   sizeof(apmpb_HashedUserData),
                                                   HashedUserData_DecodeRepeated};
const APMPBMessageType kAPMPBAddressType = {"Address",
                                            7,
                                            kAddressTypes,
                                            kAddressFields,
                                            &apmpb_Address_msg,
                                            sizeof(apmpb_Address),
                                            Address_DecodeRepeated};
const APMPBMessageType kAPMPBMeasurementConfigType = {"MeasurementConfig",
                                                      9,
                                                      kMeasurementConfigTypes,
                                                      kMeasurementConfigFields,
                                                      &apmpb_MeasurementConfig_msg,
                                                      sizeof(apmpb_MeasurementConfig),
                                                      MeasurementConfig_DecodeRepeated};
const APMPBMessageType kAPMPBSettingType = {"Setting",
                                            2,
                                            kSettingTypes,
                                            kSettingFields,
                                            &apmpb_Setting_msg,
                                            sizeof(apmpb_Setting),
                                            Setting_DecodeRepeated};
const APMPBMessageType kAPMPBEventConfigType = {"EventConfig",
                                                4,
                                                kEventConfigTypes,
                                                kEventConfigFields,
                                                &apmpb_EventConfig_msg,
                                                sizeof(apmpb_EventConfig),
                                                EventConfig_DecodeRepeated};
const APMPBMessageType kAPMPBAudienceType = {"Audience",
                                             5,
                                             kAudienceTypes,
                                             kAudienceFields,
                                             &apmpb_Audience_msg,
                                             sizeof(apmpb_Audience),
                                             Audience_DecodeRepeated};
const APMPBMessageType kAPMPBPropertyFilterType = {"PropertyFilter",
                                                   6,
                                                   kPropertyFilterTypes,
                                                   kPropertyFilterFields,
                                                   &apmpb_PropertyFilter_msg,
                                                   sizeof(apmpb_PropertyFilter),
                                                   PropertyFilter_DecodeRepeated};
const APMPBMessageType kAPMPBEventFilterType = {"EventFilter",
                                                8,
                                                kEventFilterTypes,
                                                kEventFilterFields,
                                                &apmpb_EventFilter_msg,
                                                sizeof(apmpb_EventFilter),
                                                EventFilter_DecodeRepeated};
const APMPBMessageType kAPMPBFilterType = {"Filter",
                                           4,
                                           kFilterTypes,
                                           kFilterFields,
                                           &apmpb_Filter_msg,
                                           sizeof(apmpb_Filter),
                                           Filter_DecodeRepeated};
const APMPBMessageType kAPMPBStringFilterType = {"StringFilter",
                                                 4,
                                                 kStringFilterTypes,
                                                 kStringFilterFields,
                                                 &apmpb_StringFilter_msg,
                                                 sizeof(apmpb_StringFilter),
                                                 StringFilter_DecodeRepeated};
const APMPBMessageType kAPMPBNumberFilterType = {"NumberFilter",
                                                 5,
                                                 kNumberFilterTypes,
                                                 kNumberFilterFields,
                                                 &apmpb_NumberFilter_msg,
                                                 sizeof(apmpb_NumberFilter),
                                                 NumberFilter_DecodeRepeated};
const APMPBMessageType kAPMPBProgramType = {"Program",
                                            2,
                                            kProgramTypes,
                                            kProgramFields,
                                            &apmpb_Program_msg,
                                            sizeof(apmpb_Program),
                                            Program_DecodeRepeated};
const APMPBMessageType kAPMPBOgtActivitiesType = {"OgtActivities",
                                                  1,
                                                  kOgtActivitiesTypes,
                                                  kOgtActivitiesFields,
                                                  &apmpb_OgtActivities_msg,
                                                  sizeof(apmpb_OgtActivities),
                                                  OgtActivities_DecodeRepeated};
const APMPBMessageType kAPMPBOgtActivityType = {"OgtActivity",
                                                2,
                                                kOgtActivityTypes,
                                                kOgtActivityFields,
                                                &apmpb_OgtActivity_msg,
                                                sizeof(apmpb_OgtActivity),
                                                OgtActivity_DecodeRepeated};
const APMPBMessageType kAPMPBRuntimeEntityType = {"RuntimeEntity",
                                                  6,
                                                  kRuntimeEntityTypes,
                                                  kRuntimeEntityFields,
                                                  &apmpb_RuntimeEntity_msg,
                                                  sizeof(apmpb_RuntimeEntity),
                                                  RuntimeEntity_DecodeRepeated};
const APMPBMessageType kAPMPBExperimentRequestType = {"ExperimentRequest",
                                                      2,
                                                      kExperimentRequestTypes,
                                                      kExperimentRequestFields,
                                                      &apmpb_ExperimentRequest_msg,
                                                      sizeof(apmpb_ExperimentRequest),
                                                      ExperimentRequest_DecodeRepeated};
const APMPBMessageType kAPMPBAppPropertyType = {"AppProperty",
                                                7,
                                                kAppPropertyTypes,
                                                kAppPropertyFields,
                                                &apmpb_AppProperty_msg,
                                                sizeof(apmpb_AppProperty),
                                                AppProperty_DecodeRepeated};
const APMPBMessageType kAPMPBClientPropertyType = {"ClientProperty",
                                                   5,
                                                   kClientPropertyTypes,
                                                   kClientPropertyFields,
                                                   &apmpb_ClientProperty_msg,
                                                   sizeof(apmpb_ClientProperty),
                                                   ClientProperty_DecodeRepeated};
const APMPBMessageType kAPMPBCustomPropertyType = {"CustomProperty",
                                                   2,
                                                   kCustomPropertyTypes,
                                                   kCustomPropertyFields,
                                                   &apmpb_CustomProperty_msg,
                                                   sizeof(apmpb_CustomProperty),
                                                   CustomProperty_DecodeRepeated};
const APMPBMessageType kAPMPBExperimentResponseType = {"ExperimentResponse",
                                                       2,
                                                       kExperimentResponseTypes,
                                                       kExperimentResponseFields,
                                                       &apmpb_ExperimentResponse_msg,
                                                       sizeof(apmpb_ExperimentResponse),
                                                       ExperimentResponse_DecodeRepeated};
const APMPBMessageType kAPMPBSnapshotType = {"Snapshot",
                                             2,
                                             kSnapshotTypes,
                                             kSnapshotFields,
                                             &apmpb_Snapshot_msg,
                                             sizeof(apmpb_Snapshot),
                                             Snapshot_DecodeRepeated};
const APMPBMessageType kAPMPBExperimentType = {"Experiment",
                                               2,
                                               kExperimentTypes,
                                               kExperimentFields,
                                               &apmpb_Experiment_msg,
                                               sizeof(apmpb_Experiment),
                                               Experiment_DecodeRepeated};
const APMPBMessageType kAPMPBFlagType = {
    "Flag", 5, kFlagTypes, kFlagFields, &apmpb_Flag_msg, sizeof(apmpb_Flag), Flag_DecodeRepeated};
const APMPBMessageType kAPMPBSdkResponseType = {"SdkResponse",
                                                3,
                                                kSdkResponseTypes,
                                                kSdkResponseFields,
                                                &apmpb_SdkResponse_msg,
                                                sizeof(apmpb_SdkResponse),
                                                SdkResponse_DecodeRepeated};

const APMPBMessageType* const kAPMPBMessageTypes[kAPMPBMessageTypeCount] = {
    &kAPMPBMeasurementBatchType,
    &kAPMPBMeasurementBundleType,
    &kAPMPBEventType,
    &kAPMPBEventParamType,
    &kAPMPBUserAttributeType,
    &kAPMPBAudienceLeafFilterResultType,
    &kAPMPBResultDataType,
    &kAPMPBDynamicFilterResultTimestampType,
    &kAPMPBSequenceFilterResultTimestampType,
    &kAPMPBHashedUserDataType,
    &kAPMPBAddressType,
    &kAPMPBMeasurementConfigType,
    &kAPMPBSettingType,
    &kAPMPBEventConfigType,
    &kAPMPBAudienceType,
    &kAPMPBPropertyFilterType,
    &kAPMPBEventFilterType,
    &kAPMPBFilterType,
    &kAPMPBStringFilterType,
    &kAPMPBNumberFilterType,
    &kAPMPBProgramType,
    &kAPMPBOgtActivitiesType,
    &kAPMPBOgtActivityType,
    &kAPMPBRuntimeEntityType,
    &kAPMPBExperimentRequestType,
    &kAPMPBAppPropertyType,
    &kAPMPBClientPropertyType,
    &kAPMPBCustomPropertyType,
    &kAPMPBExperimentResponseType,
    &kAPMPBSnapshotType,
    &kAPMPBExperimentType,
    &kAPMPBFlagType,
    &kAPMPBSdkResponseType,
};
