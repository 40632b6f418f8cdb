// quillmoth-close: closes the running window program the way the user's close
// button does, for scripts and tests that start it in the background.
//
//   quillmoth-close [--find-timeout SECONDS] [--wait SECONDS]
//
// Finds the top-level window of class "QUILLMOTH" (retrying for up to
// --find-timeout seconds, default 10, since the program may still be
// starting) and posts it WM_CLOSE. With --wait it then waits until the
// window's process has ended and prints its exit code.
//
// Exit codes: 0 closed (and ended, with --wait); 1 no window found in time;
// 2 the process did not end in time; 3 bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr wchar_t kWindowClass[] = L"QUILLMOTH";
constexpr DWORD kFindRetryMilliseconds = 100;

enum ExitCode { kClosed = 0, kNoWindow = 1, kStillRunning = 2, kUsage = 3 };

struct Options {
    double findTimeout = 10;
    double wait = -1;  // negative: do not wait
};

bool parseSeconds(const char* text, double& seconds)
{
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0) || value > 86400) return false;
    seconds = value;
    return true;
}

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        double* target = nullptr;
        if (!std::strcmp(arg, "--find-timeout"))
            target = &options.findTimeout;
        else if (!std::strcmp(arg, "--wait"))
            target = &options.wait;
        else
            return false;
        if (i + 1 >= argc || !parseSeconds(argv[++i], *target)) return false;
    }
    return true;
}

DWORD toMilliseconds(double seconds) { return static_cast<DWORD>(seconds * 1000.0 + 0.5); }

HWND findProgramWindow(double timeout)
{
    DWORD start = GetTickCount();
    DWORD limit = toMilliseconds(timeout);
    for (;;) {
        if (HWND window = FindWindowW(kWindowClass, nullptr)) return window;
        if (GetTickCount() - start >= limit) return nullptr;
        Sleep(kFindRetryMilliseconds);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: quillmoth-close [--find-timeout SECONDS] [--wait SECONDS]\n");
        return kUsage;
    }
    HWND window = findProgramWindow(options.findTimeout);
    if (!window) {
        std::fprintf(stderr, "quillmoth-close: no window of class QUILLMOTH\n");
        return kNoWindow;
    }
    // The process is opened before the close is posted, so that it cannot end
    // (and its id be reused) in between.
    HANDLE process = nullptr;
    if (options.wait >= 0) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        if (!process) {
            std::fprintf(stderr, "quillmoth-close: cannot open process %lu (error %lu)\n",
                         static_cast<unsigned long>(processId), GetLastError());
            return kStillRunning;
        }
    }
    if (!PostMessageW(window, WM_CLOSE, 0, 0)) {
        // The window went between finding and posting: the program is ending.
        if (!process) return kClosed;
    }
    if (!process) return kClosed;

    DWORD start = GetTickCount();
    DWORD result = WaitForSingleObject(process, toMilliseconds(options.wait));
    DWORD elapsed = GetTickCount() - start;
    if (result != WAIT_OBJECT_0) {
        std::fprintf(stderr, "quillmoth-close: the program is still running %lu ms after the close\n",
                     static_cast<unsigned long>(elapsed));
        CloseHandle(process);
        return kStillRunning;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    std::printf("ended after %lu ms, exit code %lu\n", static_cast<unsigned long>(elapsed),
                static_cast<unsigned long>(code));
    return kClosed;
}
