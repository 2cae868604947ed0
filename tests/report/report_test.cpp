// What the report and strict mode make of a run's events: whether it changed anything,
// why strict mode fails it, and the outcome each item is given.
#include "report/report.h"
#include "runlog/runlog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

namespace {

using K = RunLogCommandKind;
using A = RunLogAnswer;
constexpr RunLogSubject Item{K::AddItem, "G", "n", false};
constexpr RunLogSubject Delete{K::DeleteItem, "G", "n", false};

// One item of the pass: judged, deleted, added, answered so.
void Pass(RunLogChange change, bool existed, A deleteAnswer, A addAnswer) {
    RunLogItemStarted(Item, change, existed, {});
    RunLogCommandSent(Delete, "[D]", deleteAnswer, 0);
    RunLogCommandSent(Item, "[A]", addAnswer, 0);
}

// The version mark written, over a 2 already there when held.
void Mark(bool held) {
    RunLogVersionMarkBefore(held);
    RunLogVersionMark(ERROR_SUCCESS);
}

void Answered() {
    RunLogScriptLoaded("s.inf", 1);
    RunLogConversationOpened();
    RunLogGroupBefore("G", true, true);
}

TEST(Report, ChangedStrictAndOutcomes) {
    struct Case {
        const char *label;
        void (*events)();
        bool changed;
        const char *strict;   // StrictFailure()
        const char *outcome;  // of the first item, or null
    } cases[] = {
        {"an item the group held the same",
         [] {
             Answered();
             Pass(RunLogChange::Unchanged, true, A::Acknowledged, A::Acknowledged);
             Mark(true);
         },
         false, "", "unchanged"},
        {"the mark written where it did not hold 2",
         [] {
             Answered();
             Pass(RunLogChange::Unchanged, true, A::Acknowledged, A::Acknowledged);
             Mark(false);
         },
         true, "", "unchanged"},
        {"an item added",
         [] {
             Answered();
             Pass(RunLogChange::Added, false, A::Refused, A::Acknowledged);
             Mark(true);
         },
         true, "", "added"},
        {"an item deleted and not added back",
         [] {
             Answered();
             Pass(RunLogChange::Unchanged, true, A::Acknowledged, A::Refused);
             Mark(true);
         },
         true, "1 of 1 items not in place", "refused"},
        {"a refused item the group never held",
         [] {
             Answered();
             Pass(RunLogChange::Added, false, A::Refused, A::Refused);
             Mark(true);
         },
         false, "1 of 1 items not in place", "refused"},
        {"a delete acknowledged of an item the group did not hold, its add refused",
         [] {
             Answered();
             Pass(RunLogChange::Added, false, A::Acknowledged, A::Refused);
             Mark(true);
         },
         false, "1 of 1 items not in place", "refused"},
        {"an item written where the group was not described",
         [] {
             Answered();
             Pass(RunLogChange::Unknown, false, A::Acknowledged, A::Acknowledged);
             Mark(true);
         },
         true, "", "written"},
        {"a group created",
         [] {
             Answered();
             RunLogGroupBefore("H", false, true);
             RunLogCommandSent({K::CreateGroup, "h"}, "[C]", A::Acknowledged, 0);
             Mark(true);
         },
         true, "", nullptr},
        {"the mark not written", [] { Answered(); RunLogVersionMark(ERROR_ACCESS_DENIED); },
         false, "the version mark was not written", nullptr},
        {"no Program Manager answered",
         [] {
             RunLogScriptLoaded("s.inf", 1);
             RunLogItemStarted(Item, RunLogChange::Unknown, false, {});
             RunLogCommandNotSent(Item, nullptr, RunLogUnsent::NoConversation);
             Mark(true);
         },
         false, "no Program Manager answered", "not sent"},
        {"a registry entry removed",
         [] {
             RunLogVersionRead(2, true);
             RunLogEntryRemoved({u"P", u"K", u"Dos", true});
         },
         true, "", nullptr},
        {"registry entries absent", [] { RunLogVersionRead(2, true); RunLogEntryAbsent({u"P", u"K", u"Dos", true}); },
         false, "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        RunLogBegin(nullptr);
        c.events();
        EXPECT_EQ(RunChanged(), c.changed);
        EXPECT_EQ(StrictFailure(), c.strict);
        nlohmann::json report = nlohmann::json::parse(ReportJson(0, false));
        EXPECT_EQ(report["changed"], c.changed);
        if (c.outcome != nullptr) {
            EXPECT_EQ(report["items"][0]["outcome"], c.outcome);
        }
    }
}

}  // namespace
