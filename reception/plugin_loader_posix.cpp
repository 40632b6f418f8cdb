// Loading a plug-in shared object natively.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "reception/receiver_plugin.h"
#include "settings/wide_format.h"

namespace {

// The directory of the running executable, with a trailing separator.
bool executableDirectory(wchar_t* buffer, size_t capacity) {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (!slash) return false;
    slash[1] = '\0';
    size_t length = 0;
    return utf8ToWide(path, buffer, capacity, &length);
}

}  // namespace

void* loadLibraryFile(const wchar_t* path, LibraryLoad* result) {
    char name[kMaxPath * 4 + 1];
    void* library = wideToUtf8(path, name, sizeof name) ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
    *result = library ? LibraryLoad::loaded : LibraryLoad::notFound;
    return library;
}

void pluginFileName(const wchar_t* baseName, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, L"%ls.so", baseName);
}

void* loadPluginLibrary(const wchar_t* baseName, LibraryLoad* result) {
    wchar_t file[64], path[kMaxPath];
    pluginFileName(baseName, file, 64);
    *result = LibraryLoad::notFound;
    if (executableDirectory(path, kMaxPath) && std::wcslen(path) + std::wcslen(file) < kMaxPath) {
        std::wcscat(path, file);
        if (void* library = loadLibraryFile(path, result)) return library;
    }
    // A full path keeps dlopen from searching the system's library path.
    wchar_t directory[kMaxPath];
    size_t n = currentDirectory(directory, kMaxPath);
    if (n == 0 || n + 1 + std::wcslen(file) >= kMaxPath) return nullptr;
    formatWide(path, kMaxPath, L"%ls/%ls", directory, file);
    return loadLibraryFile(path, result);
}

void* pluginFunction(void* library, const char* name) { return dlsym(library, name); }

void unloadPluginLibrary(void* library) {
    if (library) dlclose(library);
}
