// The command lines that must end quietly with status 2, run against the built program.
#include "run.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, RejectedAndEmptyCommandLinesEndWithStatusTwo) {
    TempDir machine;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/?"},
        {"-?"},
        {"/?", "/upgrade_keys"},
        {"/upgrade_keys", "/?"},
        {"/?", "/bogus"},
        {"x.inf"},
        {"/run_inf", "/bogus", "x.inf"},
        {"/run_inf", "a.inf", "b.inf"},
        {"/upgrade_icons", "/upgrade_icons", "x.inf"},
        {"/run_inf:x.inf"},  // a boolean ignores an attached value: no script, no mode
        {"/upgrade_key"},
        {"/upgrade_keysx"},
        {"/run_inf"},  // an empty path cannot be loaded
        {""},
        {"/"},
        {"-"},
        {std::string(5000, 'a')},
        {"/run_inf", std::string(5000, 'b')},
    };
    for (const auto &args : cases) {
        RunResult r = RunProgram(BinPath("upgrade"), args, {"PELLOR_MACHINE=" + machine.path()});
        std::string label = args.empty() ? "(none)" : args[0].substr(0, 20);
        EXPECT_EQ(r.status, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(r.err, "") << label;
    }
}

}  // namespace
