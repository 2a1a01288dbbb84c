// Loading editing programs, registering callbacks by priority and running
// them for events.

#include <gtest/gtest.h>

#include "services/script/APMPEventEditing.h"
#include "services/script/APMPMeasurementEditing.h"
#include "services/script/tests/ScriptTestSupport.h"

namespace {

struct Activity {
    std::string name;
    std::string rules;
};

// A Program message with top-level statements and activities, as bytes
// would bring it.
std::shared_ptr<APMPBProgram> makeProgram(const std::string& statements,
                                          const std::vector<Activity>& activities = {}) {
    auto program = APMPBProgram::make();
    std::vector<APMPBObject> entities;
    for (auto& entity : script_test::program(statements)) entities.emplace_back(entity);
    if (!entities.empty()) APMPBSetArray(program.get(), 0, entities);
    if (!activities.empty()) {
        auto list = APMPBOgtActivities::make();
        std::vector<APMPBObject> items;
        for (const Activity& a : activities) {
            auto activity = APMPBOgtActivity::make();
            APMPBSetString(activity.get(), 0, Value(a.name));
            std::vector<APMPBObject> rules;
            for (auto& entity : script_test::program(a.rules)) rules.emplace_back(entity);
            if (!rules.empty()) APMPBSetArray(activity.get(), 1, rules);
            items.emplace_back(activity);
        }
        APMPBSetArray(list.get(), 0, items);
        APMPBSetMessage(program.get(), 1, list.get());
    }
    std::optional<Data> bytes = program->protoBuffer();
    EXPECT_TRUE(bytes.has_value());
    return APMPBProgram::initWithBuffer(*bytes);
}

// Declares reg(type, priority, fn) over the callback module and a rule
// function "rule" whose body is `body` (its map argument is "r").
std::string prelude(const std::string& body) {
    return "(41 \"rc\" \"log\") (3 \"rc\" (require \"internal.registerCallback\")) "
           "(3 \"log\" (require \"internal.eventLogger\")) "
           "(50 \"reg\" (7 \"t\" \"p\" \"f\") (rc \"id\" (15 \"f\") (8 \"type\" (15 \"t\") "
           "\"priority\" (15 \"p\")))) "
           "(50 \"rule\" (7 \"r\") " +
           body + ")";
}

// fn(e) { e.setEventName(e.getEventName() + suffix); return result }
std::string appender(const std::string& suffix, const std::string& result) {
    return "(51 \"\" (7 \"e\") (2 (15 \"e\") \"setEventName\" (46 (0 (2 (15 \"e\") "
           "\"getEventName\" "
           "(46)) \"" +
           suffix + "\"))) " + result + ")";
}

struct Loaded {
    std::unique_ptr<APMPEventEditing> editing = std::make_unique<APMPEventEditing>();
    APMPErrorSlot error;
};

Loaded load(const std::string& statements, const std::vector<Activity>& activities = {}) {
    Loaded loaded;
    loaded.editing->loadProgram(*makeProgram(statements, activities), loaded.error);
    return loaded;
}

std::string errorText(const APMPErrorSlot& error) {
    if (!error) return "none";
    return (error->domain == kAPMPEditingErrorDomain ? "editing " : "script ") +
           std::to_string(error->code);
}

const APMPEvent kEvent("start", 100, Dictionary{{"p", Value(1)}});

TEST(EventEditingTest, LoadingReportsEachFault) {
    struct LoadCase {
        std::string statements;
        std::vector<Activity> activities;
        const char* error;
    };
    const LoadCase cases[] = {
        {"1 2", {}, "none"},
        {"(36 1)", {{"rule", "(8)"}}, "editing 5"},
        {"(4)", {}, "editing 5"},
        {prelude("1"), {{"rule", "(8) 5"}}, "editing 6"},
        {prelude("1"), {{"missing", "(8)"}}, "editing 7"},
        {"(41 \"x\") (3 \"x\" 3)", {{"x", "(8)"}}, "editing 7"},
        {prelude("(rc 1 (51 \"\" (7)) (8))"), {{"rule", "(8)"}}, "editing 2"},
        {prelude("(rc 1 (51 \"\" (7)) (8 \"type\" \"Edit\"))"), {{"rule", "(8)"}}, "editing 3"},
        {prelude("(rc 1 2 (8 \"type\" \"edit\"))"), {{"rule", "(8)"}}, "script 10"},
        {prelude("(rc 1 (51 \"\" (7)))"), {{"rule", "(8)"}}, "script 9"},
        {prelude("(3 \"nope\" 1)"), {{"rule", "(8)"}}, "script 2"},
        {"(41 \"x\") (3 \"x\" (7)) (43 (15 \"x\") \"length\" -1)", {}, "script 11"},
    };
    for (const LoadCase& c : cases) {
        Loaded loaded = load(c.statements, c.activities);
        EXPECT_EQ(errorText(loaded.error), c.error) << c.statements;
    }
}

TEST(EventEditingTest, ProgramWithoutActivitiesChangesNothing) {
    Loaded loaded = load("(41 \"x\") (3 \"x\" 1)");
    ASSERT_FALSE(loaded.error);
    APMPErrorSlot error;
    EXPECT_FALSE(loaded.editing->handleEvent(kEvent, error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(loaded.editing->hasEdits());
    EXPECT_FALSE(loaded.editing->hasCreatedEvents());
}

TEST(EventEditingTest, PrioritiesAscendAndCollisionsGoToTheTop) {
    struct PriorityCase {
        const char* registrations;
        std::vector<std::int32_t> edit;
        std::vector<std::int32_t> create;
    };
    const PriorityCase cases[] = {
        {"(reg \"edit\" 5 (15 \"f\")) (reg \"edit\" 5 (15 \"f\"))", {5, 6}, {}},
        {"(reg \"edit\" 5 (15 \"f\")) (reg \"edit\" 9 (15 \"f\")) (reg \"edit\" 5 (15 \"f\"))",
         {5, 9, 10},
         {}},
        {"(rc 1 (15 \"f\") (8 \"type\" \"create\"))", {}, {1000}},
        {"(reg \"create\" 3 (15 \"f\")) (reg \"edit\" 3 (15 \"f\")) (reg \"create\" \"2.7\" (15 "
         "\"f\"))",
         {3},
         {2, 3}},
        {"(reg \"edit\" 2147483647 (15 \"f\")) (reg \"edit\" 2147483647 (15 \"f\"))",
         {2147483646, 2147483647},
         {}},
    };
    for (const PriorityCase& c : cases) {
        std::string body = std::string("(41 \"f\") (3 \"f\" (51 \"\" (7))) ") + c.registrations;
        Loaded loaded = load(prelude(body), {{"rule", "(8)"}});
        ASSERT_FALSE(loaded.error) << errorText(loaded.error) << c.registrations;
        EXPECT_EQ(loaded.editing->callbackHandler().editPriorities(), c.edit) << c.registrations;
        EXPECT_EQ(loaded.editing->callbackHandler().createPriorities(), c.create)
            << c.registrations;
    }
}

TEST(EventEditingTest, EditResultsKeepOrUndoChanges) {
    struct EditCase {
        std::string callbacks;
        const char* name;
        bool changed;
        const char* error;
    };
    const EditCase cases[] = {
        // Ending with the rename call yields its string: undone.
        {"(reg \"edit\" 1 " + appender("A", "") + ")", "start", false, "none"},
        {"(reg \"edit\" 1 " + appender("A", "(36 1)") + ")", "startA", true, "none"},
        {"(reg \"edit\" 1 " + appender("A", "(36 2)") + ")", "start", false, "none"},
        {"(reg \"edit\" 1 " + appender("A", "(36 -1)") + ")", "start", false, "none"},
        {"(reg \"edit\" 1 " + appender("A", "(36 (10 0 0))") + ")", "startA", true, "none"},
        {"(reg \"edit\" 1 " + appender("A", "(36 \"1\")") + ")", "start", false, "none"},
        // Order by priority, whatever the order of registration.
        {"(reg \"edit\" 9 " + appender("B", "0") + ") (reg \"edit\" 1 " + appender("A", "0") + ")",
         "startAB", true, "none"},
        // The third of three fails: the first two stay, the error is returned.
        {"(reg \"edit\" 1 " + appender("A", "0") + ") (reg \"edit\" 2 " + appender("B", "0") +
             ") (reg \"edit\" 3 " + appender("C", "(3 \"nope\" 1)") + ")",
         "startAB", false, "script 2"},
        // A create callback's change to the output event stays.
        {"(reg \"create\" 1 " + appender("Z", "2") + ")", "startZ", true, "none"},
    };
    for (const EditCase& c : cases) {
        Loaded loaded = load(prelude(c.callbacks), {{"rule", "(8)"}});
        ASSERT_FALSE(loaded.error) << errorText(loaded.error) << c.callbacks;
        APMPErrorSlot error;
        bool changed = loaded.editing->handleEvent(kEvent, error);
        EXPECT_EQ(errorText(error), c.error) << c.callbacks;
        EXPECT_EQ(changed, c.changed) << c.callbacks;
        EXPECT_EQ(loaded.editing->eventContext().outputEvent().name, c.name) << c.callbacks;
        EXPECT_EQ(loaded.editing->eventContext().inputEvent().name, "start");
    }
}

TEST(EventEditingTest, LoggedEventsAreKeptPerEvent) {
    // Logs one event on the first call only.
    std::string callback =
        "(41 \"done\") (3 \"done\" false) "
        "(reg \"create\" 1 (51 \"\" (7 \"e\") (22 (28 (15 \"done\")) (46 (3 \"done\" true) "
        "(log \"made\" 12.9 (8 \"u\" (44) \"n\" (45) \"s\" \"007\" \"a\" (7 1 (45))))))))";
    Loaded loaded = load(prelude(callback), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error) << errorText(loaded.error);
    APMPErrorSlot error;
    EXPECT_TRUE(loaded.editing->handleEvent(kEvent, error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(loaded.editing->hasEdits());
    ASSERT_TRUE(loaded.editing->hasCreatedEvents());
    const APMPEvent& made = loaded.editing->eventContext().eventsToLog().at(0);
    EXPECT_EQ(made.name, "made");
    EXPECT_EQ(made.timestamp, 12);
    EXPECT_EQ(made.parameters,
              (Dictionary{
                  {"u", Value("")}, {"s", Value(7.0)}, {"a", Value(Array{Value(1.0), Value()})}}));
    EXPECT_FALSE(loaded.editing->handleEvent(kEvent, error));
    EXPECT_FALSE(loaded.editing->hasCreatedEvents());
}

TEST(EventEditingTest, CallbackLimit) {
    // 1000 registrations succeed, the next one fails whatever its type.
    std::string body =
        "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 1000) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (reg (39 (25 (15 \"i\") 2) \"edit\" \"create\") 1 (51 \"\" (7))))) "
        "(reg (16 (15 \"r\") \"t\") 1 (51 \"\" (7)))";
    for (const char* type : {"edit", "create"}) {
        Loaded loaded = load(prelude(body), {{"rule", std::string("(8 \"t\" \"") + type + "\")"}});
        EXPECT_EQ(errorText(loaded.error), "editing 4") << type;
        EXPECT_EQ(loaded.editing->callbackHandler().callbackCount(), 1000u);
    }
}

TEST(EventEditingTest, RegistrationDuringCallbacksWaitsForTheNextEvent) {
    // The first callback registers a second one (at a higher priority) on
    // every event; the new one must not join the walk already under way.
    std::string callbacks =
        "(reg \"edit\" 1 (51 \"\" (7 \"e\") (reg \"edit\" 1 " + appender("X", "1") + ") 1))";
    Loaded loaded = load(prelude(callbacks), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error);
    APMPErrorSlot error;
    EXPECT_FALSE(loaded.editing->handleEvent(kEvent, error));
    EXPECT_FALSE(error);
    EXPECT_EQ(loaded.editing->eventContext().outputEvent().name, "start");
    EXPECT_EQ(loaded.editing->callbackHandler().editPriorities(),
              (std::vector<std::int32_t>{1, 2}));
    EXPECT_TRUE(loaded.editing->handleEvent(kEvent, error));
    EXPECT_EQ(loaded.editing->eventContext().outputEvent().name, "startX");
}

TEST(EventEditingTest, EveryEventGetsTheFullBudget) {
    // Each event spends most of the budget; none may run out.
    std::string callbacks =
        "(reg \"edit\" 1 (51 \"\" (7 \"e\") (41 \"i\") (3 \"i\" 0) "
        "(42 (23 (15 \"i\") 60000) (3 \"i\" (0 (15 \"i\") 1)) false (46)) 1))";
    Loaded loaded = load(prelude(callbacks), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error);
    for (int i = 0; i < 3; ++i) {
        APMPErrorSlot error;
        loaded.editing->handleEvent(kEvent, error);
        EXPECT_FALSE(error) << i;
    }
}

TEST(EventEditingTest, RequireCachesModulesAndIgnoresUnknownOnes) {
    int created = 0;
    APMPEventEditing editing;
    editing.setModuleCreator(
        [&] {
            ++created;
            return APMPStringValue::make(std::string_view("m"));
        },
        "counted");
    editing.setModuleCreator([]() -> APMPValueRef { return nullptr; }, "empty");
    const script_test::Case cases[] = {
        {"(require \"unknown\")", "undefined"},
        {"(20 (require \"internal.eventLogger\") (require \"internal.eventLogger\"))", "b:true"},
        {"(require \"counted\") (require \"counted\")", "s:m"},
        {"(require \"empty\")", "error 15"},
        {"(require)", "error 9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(script_test::run(editing.runtime(), c.program), c.expected) << c.program;
    EXPECT_EQ(created, 1);
}

TEST(EventEditingTest, EventEquality) {
    APMPEvent a("n", 1.0, Dictionary{{"k", Value(1)}});
    APMPEvent b = a;
    b.timestamp += 1e-16;
    EXPECT_TRUE(APMPEventIsEqualToEvent(a, b));
    b.timestamp = a.timestamp + 1e-12;
    EXPECT_FALSE(APMPEventIsEqualToEvent(a, b));
    b = a;
    b.parameters.set("k", Value(1.0));
    EXPECT_TRUE(APMPEventIsEqualToEvent(a, b));
    b.parameters.set("k", Value("1"));
    EXPECT_FALSE(APMPEventIsEqualToEvent(a, b));
    b = a;
    b.name = "m";
    EXPECT_FALSE(APMPEventIsEqualToEvent(a, b));
}

}  // namespace

namespace {

TEST(EventEditingTest, GarbageCyclesOfAnEventAreFreedAndGlobalsKept) {
    // Each event builds an array that holds itself (garbage once the event
    // is done) and appends to a global list that must survive.
    std::string callbacks =
        "(41 \"kept\") (3 \"kept\" (7)) "
        "(reg \"edit\" 1 (51 \"\" (7 \"e\") (41 \"a\") "
        "(3 \"a\" (7 \"0123456789012345678901234567890123456789\")) "
        "(2 (15 \"a\") \"push\" (46 (15 \"a\"))) "
        "(2 (15 \"kept\") \"push\" (46 (8 \"self\" (15 \"kept\")))) "
        "(2 (15 \"e\") \"setParamValue\" (46 \"n\" (16 (15 \"kept\") \"length\"))) 1))";
    Loaded loaded = load(prelude(callbacks), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error);
    APMPErrorSlot error;
    loaded.editing->handleEvent(kEvent, error);
    ASSERT_FALSE(error);
    std::int64_t afterFirst = APMPLiveBytes();
    for (int i = 0; i < 20; ++i) loaded.editing->handleEvent(kEvent, error);
    ASSERT_FALSE(error);
    EXPECT_EQ(loaded.editing->eventContext().outputEvent().parameters["n"], Value(21.0));
    // Only the global list grew: one element per event, a map of one entry.
    EXPECT_EQ(APMPLiveBytes() - afterFirst, 20 * (static_cast<std::int64_t>(sizeof(APMPValueRef)) +
                                                  APMPPropertyMap::kEntryBytes));
}

TEST(EventEditingTest, DeepChainsMadeByCallbacksAreReleased) {
    // A global chain a = [a] grows over six events, far beyond what a
    // recursive release survives; the seventh event moves it into a local
    // of the callback, released when the call ends.
    std::string callbacks =
        "(41 \"a\" \"n\") (3 \"a\" (7)) (3 \"n\" 0) "
        "(reg \"edit\" 1 (51 \"\" (7 \"e\") (3 \"n\" (0 (15 \"n\") 1)) "
        "(22 (23 (15 \"n\") 7) "
        "(46 (41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 60000) (3 \"i\" (0 (15 \"i\") 1)) "
        "false (46 (3 \"a\" (7 (15 \"a\")))))) "
        "(46 (41 \"b\") (3 \"b\" (15 \"a\")) (3 \"a\" (7)))) "
        "(2 (15 \"e\") \"setParamValue\" (46 \"n\" (15 \"n\"))) 1))";
    Loaded loaded = load(prelude(callbacks), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error) << errorText(loaded.error);
    for (int i = 1; i <= 8; ++i) {
        APMPErrorSlot error;
        loaded.editing->handleEvent(kEvent, error);
        ASSERT_FALSE(error) << i << " " << errorText(error);
        EXPECT_EQ(loaded.editing->eventContext().outputEvent().parameters["n"],
                  Value(static_cast<double>(i)));
    }
}

TEST(EventEditingTest, LoggedEventsCountAgainstTheMemoryBound) {
    // The first event logs four events carrying a text of a million
    // characters; their copies count until the next event drops them.
    std::string callbacks =
        "(41 \"s\" \"done\") (3 \"done\" false) (3 \"s\" \"x\") "
        "(42 (23 (16 (15 \"s\") \"length\") 1048576) (44) false "
        "(46 (3 \"s\" (0 (15 \"s\") (15 \"s\"))))) "
        "(reg \"create\" 1 (51 \"\" (7 \"e\") (22 (28 (15 \"done\")) (46 (3 \"done\" true) "
        "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 4) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (log \"made\" 1 (8 \"s\" (15 \"s\"))))))) 1))";
    Loaded loaded = load(prelude(callbacks), {{"rule", "(8)"}});
    ASSERT_FALSE(loaded.error) << errorText(loaded.error);
    std::int64_t before = APMPLiveBytes();
    APMPErrorSlot error;
    loaded.editing->handleEvent(kEvent, error);
    ASSERT_FALSE(error) << errorText(error);
    ASSERT_EQ(loaded.editing->eventContext().eventsToLog().size(), 4u);
    EXPECT_GE(APMPLiveBytes() - before, 4 * 1048576);
    loaded.editing->handleEvent(kEvent, error);
    ASSERT_FALSE(error) << errorText(error);
    EXPECT_TRUE(loaded.editing->eventContext().eventsToLog().empty());
    EXPECT_LT(APMPLiveBytes() - before, 1048576);
}

}  // namespace

TEST(EventEditingTest, TheMeasurementHooksLoadWithTheConfigurationsModulesAndReportOutcomes) {
    APMEventEditingModules modules;
    modules.remoteConfigValue = [](const std::string& key) -> std::optional<std::string> {
        if (key == "suffix") return "X";
        return std::nullopt;
    };
    modules.appMetadata.set("platform", "macos");
    // The edit appends the configuration's "suffix" and the platform; the
    // create callback logs one event.
    const std::string callbacks =
        "(41 \"kv\" \"md\") (3 \"kv\" (require \"internal.remoteConfig\")) "
        "(3 \"md\" (require \"internal.appMetadata\")) "
        "(reg \"edit\" 1 (51 \"\" (7 \"e\") (2 (15 \"e\") \"setEventName\" (46 (0 (0 (2 (15 "
        "\"e\") \"getEventName\" (46)) (2 (15 \"kv\") \"getValue\" (46 \"suffix\" \"?\"))) "
        "(16 (md) \"platform\")))) (36 1))) "
        "(reg \"create\" 2 (51 \"\" (7 \"e\") (log \"made\" 5 (8))))";
    NSError error;
    auto editing = APMPLoadMeasurementEventEditing(
        *makeProgram(prelude(callbacks), {{"rule", "(8)"}}), modules, &error);
    ASSERT_TRUE(editing) << error.code;
    auto outcome = APMPRunMeasurementEventEditing(*editing, kEvent);
    EXPECT_FALSE(outcome.failed);
    ASSERT_TRUE(outcome.editedEvent);
    EXPECT_EQ(outcome.editedEvent->name, "startXmacos");
    ASSERT_EQ(outcome.createdEvents.size(), 1u);
    EXPECT_EQ(outcome.createdEvents[0].name, "made");

    // A failing callback is a failure with neither edits nor created events.
    auto failing = APMPLoadMeasurementEventEditing(
        *makeProgram(prelude("(reg \"edit\" 1 (51 \"\" (7 \"e\") (3 \"nope\" 1)))"),
                     {{"rule", "(8)"}}),
        modules, &error);
    ASSERT_TRUE(failing);
    auto failed = APMPRunMeasurementEventEditing(*failing, kEvent);
    EXPECT_TRUE(failed.failed);
    EXPECT_FALSE(failed.editedEvent);

    // A program that does not load answers null with its error.
    error = NSError();
    EXPECT_FALSE(
        APMPLoadMeasurementEventEditing(*makeProgram("(3 \"undeclared\" 1)"), modules, &error));
    EXPECT_NE(error.code, 0);
}
