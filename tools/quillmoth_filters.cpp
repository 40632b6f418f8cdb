// quillmoth-filters: edits filters.qmf in the current directory from the
// command line; see tools/filters_cli.h. This file only turns the command line
// into wide text and writes out what the command said.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/filters_cli.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
// A console shows every character only when given UTF-16; a pipe or a file
// gets UTF-8, as everywhere else.
bool isConsole(HANDLE handle) {
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

bool writeConsole(HANDLE handle, const std::wstring& text) {
    size_t done = 0;
    while (done < text.size()) {
        size_t left = text.size() - done;
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data() + done, DWORD(left < 8192 ? left : 8192), &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}
#endif

bool writeText(FILE* stream, const std::wstring& text) {
    if (text.empty()) return true;
#if defined(_WIN32)
    HANDLE handle = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (isConsole(handle)) return writeConsole(handle, text);
#endif
    // At most four bytes for each wide character, a surrogate pair included.
    std::vector<char> bytes(text.size() * 4 + 1);
    if (!wideToUtf8(text.c_str(), bytes.data(), bytes.size())) return false;
    size_t length = std::strlen(bytes.data());
    return std::fwrite(bytes.data(), 1, length, stream) == length && std::fflush(stream) == 0;
}

int run(const std::vector<std::wstring>& args) {
    std::wstring out, err;
    int status = runFiltersCommand(args, out, err);
    bool shown = writeText(stdout, out);
    writeText(stderr, err);
    return shown ? status : kFiltersFileError;
}

}  // namespace

#if defined(_WIN32)
// The wide command line: names and sizes in Cyrillic arrive whatever the
// console's code page.
int wmain(int argc, wchar_t** argv) { return run(std::vector<std::wstring>(argv + 1, argv + argc)); }
#else
int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        // A UTF-8 byte never yields more than one wide character.
        std::vector<wchar_t> wide(std::strlen(argv[i]) + 2);
        size_t length = 0;
        if (!utf8ToWide(argv[i], wide.data(), wide.size(), &length)) length = 0;
        args.emplace_back(wide.data(), length);
    }
    return run(args);
}
#endif
