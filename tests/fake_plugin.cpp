// A scriptable receiver plug-in for the tests of the program's side. Results
// come from fakeplugin.ini in the working directory ("check = 0" and so on,
// default 1); every call is appended to calls.txt there, and a refused
// SetFilter says why through the program's log function. Built in variants:
// FAKE_MISSING=k leaves out the k-th export (FAKE_ALSO_MISSING=j a second
// one), FAKE_INIT_FAILS makes the library refuse to load on Windows.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reception/plugin_interface.h"

#if defined(_WIN32)
#include <windows.h>
#if defined(FAKE_INIT_FAILS)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE; }
#endif
#endif

#ifndef FAKE_MISSING
#define FAKE_MISSING -1
#endif
#ifndef FAKE_ALSO_MISSING
#define FAKE_ALSO_MISSING -1
#endif
#define FAKE_HAS(k) (FAKE_MISSING != (k) && FAKE_ALSO_MISSING != (k))

namespace {

int32_t setting(const char* key) {
    FILE* file = std::fopen("fakeplugin.ini", "rb");
    if (!file) return 1;
    char line[256];
    int32_t value = 1;
    size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, file))
        if (std::strncmp(line, key, length) == 0 && line[length] == ' ') value = std::atoi(line + length + 3);
    std::fclose(file);
    return value;
}

void record(const char* format, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0, long g = 0) {
    FILE* file = std::fopen("calls.txt", "ab");
    if (!file) return;
    std::fprintf(file, format, a, b, c, d, e, f, g);
    std::fputc('\n', file);
    std::fclose(file);
}

// Given by the program through the optional SetLogFunction.
PluginLogFunction gLogFunction = nullptr;
void* gLogContext = nullptr;

}  // namespace

QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetLogFunction(PluginLogFunction function, void* context) {
    gLogFunction = function;
    gLogContext = context;
    return 1;
}

#if FAKE_HAS(0)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL CheckForDVB() {
    record("CheckForDVB");
    return setting("check");
}
#endif
#if FAKE_HAS(1)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL StartDVB() {
    record("StartDVB");
    return setting("start");
}
#endif
#if FAKE_HAS(2)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL StopDVB() {
    record("StopDVB");
    return 1;
}
#endif
#if FAKE_HAS(3)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SendDiSEqC(int32_t kind, int32_t command) {
    record("SendDiSEqC %ld %ld", kind, command);
    return setting("diseqc");
}
#endif
#if FAKE_HAS(4)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetChannel(int32_t frequency, int32_t symbolRate, int32_t polarity,
                                                   int32_t reserved, int32_t lof1, int32_t lof2, int32_t sw) {
    record("SetChannel %ld %ld %ld %ld %ld %ld %ld", frequency, symbolRate, polarity, reserved, lof1, lof2, sw);
    return setting("channel");
}
#endif
#if FAKE_HAS(5)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetFilter(int32_t pid, PacketCallback callback, int32_t mode,
                                                  int32_t flags, int32_t* handle) {
    record("SetFilter %ld %ld %ld", pid, mode, flags);
    *handle = 77;
    // One packet through the callback, to show it is the one handed over.
    static const uint8_t packet[188] = {0x47, 0x1F, 0xFF, 0x10};
    if (callback) callback(packet, 188);
    int32_t result = setting("filter");
    if (result == 0 && gLogFunction) gLogFunction(gLogContext, "fake: no free tuner");
    return result;
}
#endif
#if FAKE_HAS(6)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL SetBitFilter() {
    record("SetBitFilter");
    return 0;
}
#endif
#if FAKE_HAS(7)
QM_PLUGIN_EXPORT int32_t QM_PLUGIN_CALL DelFilter(int32_t handle) {
    record("DelFilter %ld", handle);
    return 1;
}
#endif
