#include "settings/startup.h"

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "settings/config_file.h"
#include "settings/messages.h"
#include "settings/wide_format.h"

const wchar_t kConfigMissingMessage[] = L"Конфигурационный файл не найден!";
const wchar_t kTmpDirMissingMessage[] = L"Директория для временных файлов не найдена. Укажите правильный путь!";
const wchar_t kOkDirMissingMessage[] = L"Директория для загруженных файлов не найдена. Укажите правильный путь!";
const wchar_t kTmpDirUnwritableMessage[] =
    L"В директорию для временных файлов нельзя записывать. Укажите другой путь или дайте права на запись!";
const wchar_t kOkDirUnwritableMessage[] =
    L"В директорию для загруженных файлов нельзя записывать. Укажите другой путь или дайте права на запись!";

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAbsolute(const wchar_t* value) {
#if defined(_WIN32)
    // A drive's path, or a network one (\\server\share\...).
    if (isSeparator(value[0]) && isSeparator(value[1])) return true;
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

bool directoryWritable(const wchar_t* directory, char* why, size_t capacity) {
    // A file of our own, made new (never one that exists) and removed at once.
    uint32_t seed = uint32_t(monotonicMilliseconds()) * 2654435761u;
    for (uint32_t attempt = 0; attempt < 16; ++attempt) {
        wchar_t path[kMaxPath];
        size_t length = formatWide(path, kMaxPath, L"%ls.quillmoth-probe-%08x", directory,
                                   unsigned(seed + attempt * 0x9E3779B9u));
        if (length + 1 >= kMaxPath) break;
        FileHandle file = openFile(path, FileAccess::write, FileShare::none, FileCreation::createNew);
        if (file != kNoFile) {
            int64_t written = writeFile(file, "x", 1);
            int error = lastSystemError();
            closeFile(file);
            deleteFile(path);
            if (written == 1) return true;
            systemErrorText(error, why, capacity);
            return false;
        }
        int error = lastSystemError();
        if (!entryExists(path)) {
            systemErrorText(error, why, capacity);
            return false;
        }
    }
    std::snprintf(why, capacity, "no file could be made there");
    return false;
}

bool checkDirectoryWritable(const char* key, const wchar_t* directory, const wchar_t* message, LogFile& log) {
    char why[256] = "";
    if (!directory[0] || directoryWritable(directory, why, sizeof why)) return true;
    char path[kMaxPath * 4];
    if (!wideToUtf8(directory, path, sizeof path)) path[0] = '\0';
    logWrite(log, "Error: %s %s cannot be written: %s\n", key, path, why);
    flushLog(log);
    showMessage(message, nullptr, MessageIcon::error);
    return false;
}
