// The receiver plug-in's exports and the packet callback, shared by the
// program and our stand-in plug-ins.
//
// A plug-in is a library (streamreader / streamsplitter, ".dll" on Windows,
// ".so" elsewhere) exporting eight functions under these undecorated names.
// On 32-bit Windows the exports and the callback use __stdcall; elsewhere the
// platform's one convention. All arguments and results are 32-bit integers
// except the callback and the handle's address.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QM_PLUGIN_CALL __stdcall
#else
#define QM_PLUGIN_CALL
#endif

#if defined(_WIN32)
#define QM_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define QM_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Called by the plug-in on a thread of its own, one transport-stream packet
// per call, from the moment SetFilter succeeds until DelFilter returns.
using PacketCallback = void(QM_PLUGIN_CALL*)(const uint8_t* packet, int32_t length);

// Non-zero results mean success.
using CheckForDVBFunction = int32_t(QM_PLUGIN_CALL*)();
using StartDVBFunction = int32_t(QM_PLUGIN_CALL*)();
using StopDVBFunction = int32_t(QM_PLUGIN_CALL*)();
// kind 1 or 2, command byte 0xF0, 0xF4, 0xF8 or 0xFC.
using SendDiSEqCFunction = int32_t(QM_PLUGIN_CALL*)(int32_t kind, int32_t command);
// Frequencies in kHz, symbol rate in symbols per second, polarity 0
// horizontal / 1 vertical; `reserved` is always 0.
using SetChannelFunction = int32_t(QM_PLUGIN_CALL*)(int32_t frequency, int32_t symbolRate, int32_t polarity,
                                                    int32_t reserved, int32_t lof1, int32_t lof2,
                                                    int32_t switchFrequency);
// `mode` is always 2 and `flags` always 1; the handle to give DelFilter is
// written through `handle`.
using SetFilterFunction = int32_t(QM_PLUGIN_CALL*)(int32_t pid, PacketCallback callback, int32_t mode,
                                                   int32_t flags, int32_t* handle);
// Must exist; the program never calls it.
using SetBitFilterFunction = int32_t(QM_PLUGIN_CALL*)();
using DelFilterFunction = int32_t(QM_PLUGIN_CALL*)(int32_t handle);

// Optional, looked up after the eight: a short UTF-8 line on the signal
// ("lock 200/15, gaps 0") written to `text` with its terminating zero within
// `capacity` bytes; 1 when there is one. Any thread; never blocks.
using SignalStatusFunction = int32_t(QM_PLUGIN_CALL*)(char* text, int32_t capacity);
constexpr const char* kSignalStatusExportName = "SignalStatus";

// Optional, looked up after the eight: where the plug-in's own lines go
// besides standard error, so that a window program without a console has them
// in its log. `function` gets one line at a time (UTF-8, no line end, no
// control characters) with `context` as given, from any of the plug-in's
// threads; nullptr stops it. Returns 1.
using PluginLogFunction = void(QM_PLUGIN_CALL*)(void* context, const char* line);
using SetLogFunctionFunction = int32_t(QM_PLUGIN_CALL*)(PluginLogFunction function, void* context);
constexpr const char* kSetLogFunctionExportName = "SetLogFunction";

// The export names, in the order the program looks them up.
constexpr const char* kPluginExportNames[8] = {"CheckForDVB", "StartDVB",     "StopDVB",  "SendDiSEqC",
                                               "SetChannel",  "SetFilter", "SetBitFilter", "DelFilter"};
