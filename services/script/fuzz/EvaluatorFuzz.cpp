// Builds a random tree of runtime entities from the input and runs it as a
// program, then as an event-editing program over one event. Every run must
// end, without a crash, within the runtime's budget and bounds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/script/APMPEventEditing.h"
#include "services/script/APMPRuntime.h"

namespace {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const char* const kCommands[] = {
    "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",       "9",  "10", "12", "13", "15",
    "16", "17", "18", "19", "20", "21", "22", "23", "24",      "25", "26", "27", "28", "29",
    "30", "32", "33", "34", "35", "36", "37", "38", "39",      "40", "41", "42", "43", "44",
    "45", "46", "47", "50", "51", "52", "53", "54", "55",      "56", "57", "58", "59", "60",
    "61", "62", "63", "64", "65", "66", "f",  "g",  "require", "11"};
const char* const kStrings[] = {"",
                                "f",
                                "g",
                                "x",
                                "length",
                                "push",
                                "map",
                                "sort",
                                "split",
                                "concat",
                                "join",
                                "replace",
                                "match",
                                "(a+)+$",
                                "a",
                                "toString",
                                "reduce",
                                "slice",
                                "splice",
                                "internal.eventLogger",
                                "internal.registerCallback",
                                "internal.platform",
                                "getVersion",
                                "type",
                                "edit",
                                "create",
                                "priority",
                                "setEventName",
                                "getParams",
                                "indexOf",
                                "charAt"};
const double kNumbers[] = {0, 1, -1, 2, 3, 0.5, 1e21, -1e-7, 4294967296.0, 1e9, 7};

std::shared_ptr<APMPBRuntimeEntity> build(Input& in, int depth) {
    auto entity = APMPBRuntimeEntity::make();
    std::uint8_t kind = in.byte();
    switch (depth >= 40 ? kind % 3 : kind % 6) {
        case 0:
            APMPBSetInt32(entity.get(), 0, 1);
            APMPBSetString(entity.get(), 3,
                           Value(kStrings[in.byte() % (sizeof kStrings / sizeof *kStrings)]));
            break;
        case 1:
            APMPBSetInt32(entity.get(), 0, 2);
            APMPBSetDouble(entity.get(), 5,
                           kNumbers[in.byte() % (sizeof kNumbers / sizeof *kNumbers)]);
            break;
        case 2:
            APMPBSetInt32(entity.get(), 0, 3);
            APMPBSetBool(entity.get(), 4, in.byte() & 1);
            break;
        default: {
            APMPBSetInt32(entity.get(), 0, 4);
            APMPBSetString(entity.get(), 2,
                           Value(kCommands[in.byte() % (sizeof kCommands / sizeof *kCommands)]));
            std::vector<APMPBObject> arguments;
            int count = in.byte() % 5;
            for (int i = 0; i < count && !in.empty(); ++i)
                arguments.emplace_back(build(in, depth + 1));
            if (!arguments.empty()) APMPBSetArray(entity.get(), 1, arguments);
            break;
        }
    }
    return entity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> statements;
    while (!in.empty() && statements.size() < 64) statements.push_back(build(in, 0));

    {
        APMPRuntime runtime;
        APMPErrorSlot error;
        runtime.executeStatements(statements, error);
    }
    {
        APMPEventEditing editing;
        auto program = APMPBProgram::make();
        std::vector<APMPBObject> entities(statements.begin(), statements.end());
        if (!entities.empty()) APMPBSetArray(program.get(), 0, entities);
        APMPErrorSlot error;
        editing.loadProgram(*program, error);
        for (int i = 0; i < 2; ++i) {
            APMPErrorSlot eventError;
            editing.handleEvent(APMPEvent("e", 1, Dictionary{{"p", Value(1)}}), eventError);
        }
    }
    return 0;
}
