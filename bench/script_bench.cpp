// Throughput of the script reader (tokenizer and line parser) and of the
// command-line parser, on generated input.
#include "cmdline/cmdline.h"
#include "script/pool.h"
#include "script/script.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// A script of `items` item lines in groups of 20, with comments, quotes and continuations.
std::string MakeScript(int items) {
    std::string s = "; generated\r\n";
    for (int i = 0; i < items; i++) {
        if (i % 20 == 0) s += "[Group " + std::to_string(i / 20) + "]\r\n";
        s += "  Item" + std::to_string(i) + " = \"Item \"\"" + std::to_string(i) +
             "\"\"\" , app.exe /x , app.exe, " + std::to_string(i % 7) + ", VITAL ; note\r\n";
        if (i % 10 == 0) s += "Cont = \"Cont\", app.exe +\r\n    /y, app.exe, 0, O\r\n";
    }
    return s;
}

void BM_Tokenize(benchmark::State &state) {
    std::string image = MakeScript(static_cast<int>(state.range(0))) + "\n";
    std::string out(image.size() + 1, '\0');
    for (auto _ : state) benchmark::DoNotOptimize(TokenizeImage(image.c_str(), out.data()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_Tokenize)->Arg(1000)->Arg(100000);

void BM_ParseLines(benchmark::State &state) {
    std::string image = MakeScript(static_cast<int>(state.range(0))) + "\n";
    std::string lines(image.size() + 1, '\0');
    uint32_t length = TokenizeImage(image.c_str(), lines.data());
    uint32_t count = CountLines(lines.data(), length);
    FlagKeywordIndex = BuildKeywordIndex(FlagKeywords);
    std::string work;
    for (auto _ : state) {
        state.PauseTiming();
        work = lines;  // the parser cuts fields in place
        state.ResumeTiming();
        char *cursor = work.data();
        int isItem = 0;
        for (uint32_t i = 0; i < count; i++) cursor = ParseLine(cursor, &isItem);
        benchmark::DoNotOptimize(cursor);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_ParseLines)->Arg(100000);

void BM_ParseArguments(benchmark::State &state) {
    int32_t keys = 0, runInf = 0, icons = 0, help = 0;
    char path[260];
    OptionRecord table[] = {
        {" ", 0, KIND_STRING, sizeof path, path},
        {"/upgrade_keys", 0, KIND_BOOLEAN, 4, &keys},
        {"/run_inf", 0, KIND_BOOLEAN, 4, &runInf},
        {"/upgrade_icons", 0, KIND_BOOLEAN, 4, &icons},
        {"/?", 0, KIND_BOOLEAN, 4, &help},
        {nullptr, 0, 0, 0, nullptr},
    };
    std::string a0 = "/RUN_INF", a1 = "scripts\\upgrade.inf";
    char *argv[] = {a0.data(), a1.data()};
    for (auto _ : state) {
        for (OptionRecord *r = table; r->name != nullptr; r++) r->flags = 0;
        benchmark::DoNotOptimize(ParseArguments(2, argv, table, 0));
    }
}
BENCHMARK(BM_ParseArguments);

}  // namespace

BENCHMARK_MAIN();
