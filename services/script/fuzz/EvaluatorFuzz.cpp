// Builds a random tree of runtime entities from the input and runs it as a
// program, then as an event-editing program over one event. Every run must
// end, without a crash, within the runtime's budget and bounds. Besides
// random statements the tree holds sorts with comparators that keep state
// (answering inconsistently, changing the array, failing) and loops that
// grow deep chains of arrays and maps.

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
                                "charAt",
                                "lastIndexOf",
                                "search",
                                "(a|a)*b",
                                "e\xCC\x81",
                                "\xC3\xA9",
                                "t",
                                "d",
                                "\xD0\xB1\xD0\xB0",
                                "\xE0\xB9\x80\xE0\xB8\x81",
                                "[\\p{L}]+\\d",
                                "toUpperCase"};
const double kNumbers[] = {0, 1, -1, 2, 3, 0.5, 1e21, -1e-7, 4294967296.0, 1e9, 7};

std::shared_ptr<APMPBRuntimeEntity> text(const char* value) {
    auto entity = APMPBRuntimeEntity::make();
    APMPBSetInt32(entity.get(), 0, 1);
    APMPBSetString(entity.get(), 3, Value(value));
    return entity;
}

std::shared_ptr<APMPBRuntimeEntity> number(double value) {
    auto entity = APMPBRuntimeEntity::make();
    APMPBSetInt32(entity.get(), 0, 2);
    APMPBSetDouble(entity.get(), 5, value);
    return entity;
}

std::shared_ptr<APMPBRuntimeEntity> statement(
    const char* command, const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& arguments) {
    auto entity = APMPBRuntimeEntity::make();
    APMPBSetInt32(entity.get(), 0, 4);
    APMPBSetString(entity.get(), 2, Value(command));
    std::vector<APMPBObject> objects(arguments.begin(), arguments.end());
    if (!objects.empty()) APMPBSetArray(entity.get(), 1, objects);
    return entity;
}

std::shared_ptr<APMPBRuntimeEntity> build(Input& in, int depth);

// a.sort(function (p, q) { t = t + 1; <random>; return t % k ? -1 : 1 }),
// where the random statement may change the array or fail.
std::shared_ptr<APMPBRuntimeEntity> statefulSort(Input& in, int depth) {
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> elements;
    int count = in.byte() % 40;
    for (int i = 0; i < count; ++i) elements.push_back(number(in.byte() % 7));
    auto counter = statement("15", {text("t")});
    auto comparator = statement(
        "51",
        {text(""), statement("7", {text("p"), text("q")}),
         statement("3", {text("t"), statement("0", {counter, number(1)})}), build(in, depth + 1),
         statement("36", {statement("39", {statement("25", {counter, number(1 + in.byte() % 3)}),
                                           number(-1), number(1)})})});
    return statement(
        "13", {statement("41", {text("t"), text("a")}), statement("3", {text("t"), number(0)}),
               statement("3", {text("a"), statement("7", elements)}),
               statement("2", {statement("15", {text("a")}), text("sort"),
                               statement("46", {comparator})})});
}

// d = [d] (or {d: d}) repeated until the loop or the budget ends.
std::shared_ptr<APMPBRuntimeEntity> deepData(Input& in) {
    auto held = statement("15", {text("d")});
    auto wrap = in.byte() & 1 ? statement("7", {held}) : statement("8", {text("d"), held});
    auto index = statement("15", {text("i")});
    return statement(
        "13", {statement("41", {text("d"), text("i")}), statement("3", {text("i"), number(0)}),
               statement("42", {statement("23", {index, number(1000.0 * (1 + in.byte() % 200))}),
                                statement("3", {text("i"), statement("0", {index, number(1)})}),
                                number(0), statement("46", {statement("3", {text("d"), wrap})})}),
               statement("3", {text("d"), number(0)})});
}

std::shared_ptr<APMPBRuntimeEntity> build(Input& in, int depth) {
    auto entity = APMPBRuntimeEntity::make();
    std::uint8_t kind = in.byte();
    if (depth < 40 && kind % 16 == 14) return statefulSort(in, depth);
    if (depth < 40 && kind % 16 == 15) return deepData(in);
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
