// MessageBoxA: a modal report. On a desktop with a dialog program it is a
// dialog; elsewhere the caption and text go to standard error, and the call
// waits for Enter only when a person can press it (standard input a terminal),
// so a scripted run never hangs.
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct DialogProgram {
    const char *name;
    std::vector<std::string> (*arguments)(const std::string &caption, const std::string &text);
    bool textOnStdin;     // the text goes through a pipe, never through the argument list
    int shownExitCodes;   // exit codes 0..n-1 mean the dialog was shown (closed or answered)
};

// Arguments carry the text as one "--option=value" or as an option's value, so
// a text beginning with '-' is never taken for an option; zenity would read
// markup without --no-markup.
const DialogProgram kDialogs[] = {
    {"zenity",
     [](const std::string &c, const std::string &t) {
         return std::vector<std::string>{"zenity", "--info", "--no-markup", "--title=" + c, "--text=" + t};
     },
     false, 2},
    {"kdialog",
     [](const std::string &c, const std::string &t) {
         return std::vector<std::string>{"kdialog", "--title", c, "--msgbox", t};
     },
     false, 2},
    {"xmessage",
     [](const std::string &c, const std::string &) {
         return std::vector<std::string>{"xmessage", "-title", c, "-buttons", "OK:0", "-default", "OK", "-center",
                                         "-file", "-"};
     },
     true, 1},
};

std::string FindOnPath(const char *name) {
    const char *path = std::getenv("PATH");
    std::string p = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= p.size();) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string candidate = p.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}

bool HasDesktop() {
    const char *x = std::getenv("DISPLAY");
    const char *w = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && x[0] != '\0') || (w != nullptr && w[0] != '\0');
}

// Runs one dialog program and waits for it; true when it showed the dialog.
bool RunDialog(const DialogProgram &d, const std::string &program, const std::string &caption,
               const std::string &text) {
    std::vector<std::string> args = d.arguments(caption, text);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int input[2] = {-1, -1};
    // A socket rather than a pipe: a dialog that dies early must not raise SIGPIPE here.
    if (d.textOnStdin && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (d.textOnStdin) {
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (d.textOnStdin) {
        close(input[0]);
        if (rc == 0) {
            // A short text fits the pipe; a dialog that stops reading only shortens it.
            ssize_t unused = send(input[1], text.data(), text.size(), MSG_NOSIGNAL);
            (void)unused;
        }
        close(input[1]);
    }
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) < d.shownExitCodes;
}

void ReportOnTerminal(const std::string &caption, const std::string &text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    if (!isatty(STDIN_FILENO)) {
        std::fflush(stderr);
        return;
    }
    std::fprintf(stderr, "Press Enter to continue.");
    std::fflush(stderr);
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
}

}  // namespace

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    std::string t = text != nullptr ? text : "";
    std::string c = caption != nullptr ? caption : "Error";  // Windows' caption when none is given
    if (HasDesktop()) {
        for (const DialogProgram &d : kDialogs) {
            std::string program = FindOnPath(d.name);
            if (!program.empty() && RunDialog(d, program, c, t)) return IDOK;
        }
    }
    ReportOnTerminal(c, t);
    return IDOK;
}
