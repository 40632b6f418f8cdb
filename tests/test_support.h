// Helpers shared by the tests: scratch directories, whole-file reads and
// writes, and the paths of the real captures.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A fresh, empty directory of the test's own under the system's temporary
// directory, removed with its contents when the object goes. `path` ends
// without a separator.
struct ScratchDirectory {
    std::wstring path;
    explicit ScratchDirectory(const char* name);
    ~ScratchDirectory();
    // path + separator + name
    std::wstring file(const std::wstring& name) const;
};

// Makes `path` the current directory for the scope, then goes back.
struct CurrentDirectoryScope {
    std::wstring previous;
    explicit CurrentDirectoryScope(const std::wstring& path);
    ~CurrentDirectoryScope();
};

std::string readWholeFile(const std::wstring& path);
void writeWholeFile(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);

// The path of a capture in shared/captures, as this platform spells it.
std::wstring capturePath(const char* name);
std::vector<unsigned char> readCapture(const char* name);
// Whether the captures folder is there: a clone of the project alone has none.
bool capturesPresent();
// Ends the current test as skipped when the captures folder is absent.
#define QM_REQUIRE_CAPTURES()                                                      \
    do {                                                                           \
        if (!capturesPresent())                                                    \
            GTEST_SKIP() << "captures folder absent (" << QM_CAPTURES_DIR << ")"; \
    } while (0)

#include "settings/filter_set.h"
#include "settings/log_file.h"

// Filter records as the dialogs write them, and the bytes of filters.qmf.
FilterRecord byCategory(int position, uint32_t minimum, uint32_t maximum);
FilterRecord byExtension(const wchar_t* text, uint32_t minimum, uint32_t maximum);
std::string fileOf(const std::vector<FilterRecord>& records, const std::string& trailing = "");

// A log whose lines the test can read back.
struct CapturedLog {
    LogFile log;
    FILE* file;
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    std::string text();
};
