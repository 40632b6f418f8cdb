// Loading a plug-in DLL on Windows.
#include <windows.h>

#include <cwchar>

#include "platform/platform.h"
#include "reception/receiver_plugin.h"
#include "settings/wide_format.h"

void pluginFileName(const wchar_t* baseName, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, L"%ls.dll", baseName);
}

void* loadLibraryFile(const wchar_t* path, LibraryLoad* result) {
    HMODULE library = LoadLibraryW(path);
    if (library)
        *result = LibraryLoad::loaded;
    else
        *result = GetLastError() == ERROR_DLL_INIT_FAILED ? LibraryLoad::initFailed : LibraryLoad::notFound;
    return reinterpret_cast<void*>(library);
}

// Beside the executable first, then in the working directory, then wherever
// the system's own search finds it (a receiver vendor installs its library on
// the search path). A library found but refusing to initialise is not looked
// for further: its failure is the one to report.
void* loadPluginLibrary(const wchar_t* baseName, LibraryLoad* result) {
    wchar_t file[64], path[MAX_PATH];
    pluginFileName(baseName, file, 64);
    *result = LibraryLoad::notFound;
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        wchar_t* slash = std::wcsrchr(path, L'\\');
        if (slash && size_t(slash + 1 - path) + std::wcslen(file) < MAX_PATH) {
            std::wcscpy(slash + 1, file);
            if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return loadLibraryFile(path, result);
        }
    }
    wchar_t directory[MAX_PATH];
    size_t n = currentDirectory(directory, MAX_PATH);
    if (n != 0 && n + 1 + std::wcslen(file) < MAX_PATH) {
        formatWide(path, MAX_PATH, L"%ls\\%ls", directory, file);
        if (void* library = loadLibraryFile(path, result)) return library;
        if (*result == LibraryLoad::initFailed) return nullptr;
    }
    return loadLibraryFile(file, result);
}

void unloadPluginLibrary(void* library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

void* pluginFunction(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
