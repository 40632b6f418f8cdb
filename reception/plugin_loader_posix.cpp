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

// The packaged plug-ins' folder, relative to the executable's: an installed
// tree that is moved as a whole still finds them.
#ifndef QM_PLUGIN_INSTALL_DIR
#define QM_PLUGIN_INSTALL_DIR "../lib/quillmoth"
#endif

// `path` = folder + name, false when that does not fit.
bool joinPath(wchar_t* path, const wchar_t* folder, const wchar_t* name) {
    size_t used = std::wcslen(folder), more = std::wcslen(name);
    if (used + more >= kMaxPath) return false;
    std::wmemcpy(path, folder, used);
    std::wmemcpy(path + used, name, more + 1);
    return true;
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

// The executable's own folder first (the build tree, a copied folder), then
// the installed plug-ins' folder, then the working directory. The program's
// own plug-ins come before the working directory, as on Windows: a service's
// working directory is writable by the service, its code should not be.
void* loadPluginLibrary(const wchar_t* baseName, LibraryLoad* result) {
    wchar_t file[64], installed[kMaxPath], folder[kMaxPath], path[kMaxPath];
    pluginFileName(baseName, file, 64);
    *result = LibraryLoad::notFound;
    if (executableDirectory(folder, kMaxPath)) {
        if (joinPath(path, folder, file))
            if (void* library = loadLibraryFile(path, result)) return library;
        formatWide(installed, kMaxPath, L"%ls/%ls", L"" QM_PLUGIN_INSTALL_DIR, file);
        if (joinPath(path, folder, installed))
            if (void* library = loadLibraryFile(path, result)) return library;
    }
    // A full path keeps dlopen from searching the system's library path.
    wchar_t directory[kMaxPath];
    size_t n = currentDirectory(directory, kMaxPath);
    if (n == 0 || n + 1 >= kMaxPath) return nullptr;
    directory[n] = L'/';
    directory[n + 1] = L'\0';
    if (!joinPath(path, directory, file)) return nullptr;
    return loadLibraryFile(path, result);
}

void* pluginFunction(void* library, const char* name) { return dlsym(library, name); }

void unloadPluginLibrary(void* library) {
    if (library) dlclose(library);
}
