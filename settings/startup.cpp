#include "settings/startup.h"

#include <cwchar>

#include "platform/platform.h"
#include "settings/config_file.h"
#include "settings/messages.h"

const wchar_t kConfigMissingMessage[] = L"Конфигурационный файл не найден!";
const wchar_t kTmpDirMissingMessage[] = L"Директория для временных файлов не найдена. Укажите правильный путь!";
const wchar_t kOkDirMissingMessage[] = L"Директория для загруженных файлов не найдена. Укажите правильный путь!";

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAbsolute(const wchar_t* value) {
#if defined(_WIN32)
    return value[0] && value[1] == L':' && value[2] == L'\\';
#else
    return value[0] == L'/';
#endif
}

}  // namespace

bool configurationPresent() {
    int32_t wnd = 0;
    return readConfigInt("wnd", &wnd) != 0;
}

bool absoluteDirectory(const wchar_t* value, const wchar_t* currentDirectory, wchar_t* path, size_t capacity) {
    // Absolute or not is decided on the value as written: "\tmp\" is relative
    // (to the current directory) wherever the file was written.
    bool absolute = isAbsolute(value);
    wchar_t text[kMaxPath];
    size_t length = 0;
    // config.ini may have been written on the other platform: either separator
    // is read as this platform's.
    for (; value[length] && length + 1 < kMaxPath; ++length)
        text[length] = isSeparator(value[length]) ? kPathSeparator : value[length];
    text[length] = L'\0';
    size_t used = 0;
    if (!absolute) {
        // "\tmp\" and "tmp\" both mean the tmp directory of the current one.
        used = std::wcslen(currentDirectory);
        if (used + 1 >= capacity) return false;
        std::wcscpy(path, currentDirectory);
        if (text[0] != kPathSeparator) path[used++] = kPathSeparator;
    }
    if (used + length + 2 > capacity) return false;
    std::wcscpy(path + used, text);
    used += length;
    // File names are appended directly: a directory without its trailing
    // separator would put them beside it instead of in it.
    if (used == 0 || path[used - 1] != kPathSeparator) {
        path[used++] = kPathSeparator;
        path[used] = L'\0';
    }
    return true;
}

void prepareDirectory(const char* key, const wchar_t* missingMessage, wchar_t* path) {
    wchar_t value[kMaxPath] = L"";
    readConfigString(key, value, kMaxPath);
    wchar_t current[kMaxPath];
    bool fits = currentDirectory(current, kMaxPath) > 0 && absoluteDirectory(value, current, path, kMaxPath);
    if (fits && std::wcscmp(value, path) != 0) writeConfigString(key, path);
    if (!fits || !isDirectory(path)) {
        showMessage(missingMessage, nullptr, MessageIcon::error);
        path[0] = L'\0';
    }
}

void normalizeLogDirectory() {
    wchar_t value[kMaxPath] = L"";
    readConfigString("log_dir", value, kMaxPath);
    if (value[0] != L'.') return;
    wchar_t current[kMaxPath];
    size_t length = currentDirectory(current, kMaxPath - 1);
    if (length == 0) return;
    current[length] = kPathSeparator;
    current[length + 1] = L'\0';
    writeConfigString("log_dir", current);
}
