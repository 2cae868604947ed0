// The program's entry: parse the command line, run at most one mode, and hand
// its result to the runtime as the exit status. Nothing is printed; the run log
// (runlog/runlog.h) records the run when asked to.
#include "driver/upgrade_icons.h"
#include "options/options.h"
#include "platform/win32.h"
#include "regclean/regclean.h"
#include "report/report.h"
#include "runlog/runlog.h"

#include <cstring>
#include <string>
#include <iterator>

namespace {

// The mode the command line selects, in the order Run dispatches them.
const char *ModeName(uint16_t status) {
    if (helpFlag) return "help";
    if (status != 0 && !(status & PARSE_NO_ARGUMENTS)) return "none";
    if (upgradeKeysFlag) return "upgrade_keys";
    if (runInfFlag) return "run_inf";
    if (upgradeIconsFlag) return "upgrade_icons";
    return "none";
}

// The first argument that the option table refuses on its own: each is parsed alone
// against a scratch copy of the table, so the parser itself says which one it is.
const char *RefusedArgument(int count, char **args) {
    int32_t flags[16];
    char text[260];
    OptionRecord scratch[16];
    size_t n = 0;
    for (; OptionTable[n].name != nullptr && n + 1 < std::size(scratch); n++) {
        scratch[n] = OptionTable[n];
        scratch[n].flags = 0;
        scratch[n].target = IsStringKind(scratch[n].kind) ? static_cast<void *>(text) : &flags[n];
        scratch[n].length = IsStringKind(scratch[n].kind) ? sizeof text : sizeof flags[n];
    }
    scratch[n] = {nullptr, 0, 0, 0, nullptr};
    for (int i = 0; i < count; i++) {
        uint16_t status = ParseArguments(1, args + i, scratch, 0);
        if (status & PARSE_BAD_ARGUMENT) return args[i];
        if (status == 0 && std::strcmp(args[i], "--") == 0) break;  // the rest are positional here
    }
    return nullptr;
}

// Sets the end line's reason for a command line the parser refused.
void ExplainRejection(uint16_t status, int count, char **args) {
    const char *refused = RefusedArgument(count, args);
    if (status & PARSE_NO_MEMORY)
        RunLogReason("out of memory reading the command line");
    else if ((status & PARSE_BAD_ARGUMENT) && refused != nullptr && refused[0] != '\0')
        RunLogReason("unknown switch \"%s\"", refused);
    else if (status & PARSE_BAD_ARGUMENT)
        RunLogReason("a bad argument");
    else if (status & PARSE_OVERFLOW)
        RunLogReason("more than one script path");
    else if (status & PARSE_REPEATED)
        RunLogReason("a switch given twice");
    else
        RunLogReason("the command line was refused (parser status 0x%x)", status);
}

int Run(uint16_t status, int count, char **args) {
    if (helpFlag) {  // before the status test: "/?" wins over everything
        RunLogReason("\"/?\" asks for help: nothing done");
        return 2;
    }
    if (status != 0 && !(status & PARSE_NO_ARGUMENTS)) {
        ExplainRejection(status, count, args);
        return 2;
    }
    if (upgradeKeysFlag) return RemoveObsoleteRegistryEntries();
    if (runInfFlag || upgradeIconsFlag) return UpgradeIcons(scriptPath);
    if (status & PARSE_NO_ARGUMENTS)
        RunLogReason("no arguments");
    else
        RunLogReason("no mode switch (\"/run_inf\", \"/upgrade_icons\" or \"/upgrade_keys\")");
    return 2;
}

// A report that could not be written is said where a person or a job sees it.
void SayOnStandardError(const std::string &text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (err != nullptr && err != INVALID_HANDLE_VALUE)
        WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Strict mode and the report, once the run has decided its status: strict turns a run
// that left its work undone into exit 2, and the report records the status it ends with.
int Account(int status) {
    bool strictExit = false;
    if (StrictWanted() && status == 0) {
        std::string why = StrictFailure();
        if (!why.empty()) {
            RunLogReason("strict: %s", why.c_str());
            status = 2;
            strictExit = true;
        }
    }
    const char *path = ReportPath();
    std::string error;
    if (path == nullptr || WriteWholeFile(path, ReportJson(status, strictExit), &error)) return status;
    RunLogReportFailed(path, error.c_str());
    SayOnStandardError("upgrade: cannot write the report " + std::string(path) + ": " + error + "\n");
    if (StrictWanted()) {
        RunLogReason("strict: cannot write the report %s: %s", path, error.c_str());
        status = 2;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    uint16_t status = ParseArguments(argc - 1, argv + 1, OptionTable, 0);
    RunLogOpen(argc, argv, ModeName(status));
    if (ReportPath() != nullptr) RunLogReportWanted();  // the report tells "removed" from "absent" too
    return RunLogEnd(Account(Run(status, argc - 1, argv + 1)));
}
