#include "platform/localtime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

// Days since 1970-01-01 of a civil date: the zone offset without platform calls.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long SecondsOf(const std::tm &t) {
    return DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

// The stamp of one second, kept per thread: a log writes many lines a second, and
// the C library's localtime looks at the zone file on every call (a stat each), so
// the zone is read, and the stamp formatted, once per second.
struct SecondStamp {
    std::time_t second = -1;
    char clock[96] = "";  // 2026-12-08T23:05:01
    char zone[48] = "";   // +01:00
};
thread_local SecondStamp stamp;

void Format(std::time_t seconds) {
    std::tm utc = *std::gmtime(&seconds);
    std::tm local = *std::localtime(&seconds);
    long long offset = (SecondsOf(local) - SecondsOf(utc)) / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    std::snprintf(stamp.clock, sizeof stamp.clock, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::snprintf(stamp.zone, sizeof stamp.zone, "%c%02lld:%02lld", sign, offset / 60, offset % 60);
    stamp.second = seconds;
}

}  // namespace

void AppendLocalTimeText(std::string *out, bool milliseconds) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    if (seconds != stamp.second) Format(seconds);
    out->append(stamp.clock);
    if (milliseconds) {
        auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        if (millis < 0) millis += 1000;
        const char fraction[] = {'.', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                                 static_cast<char>('0' + millis % 10)};
        out->append(fraction, sizeof fraction);
    }
    out->append(stamp.zone);
}

std::string LocalTimeText(bool milliseconds) {
    std::string text;
    AppendLocalTimeText(&text, milliseconds);
    return text;
}
