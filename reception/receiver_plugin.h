// The receiver plug-in: loading it, tuning the card and installing the PID
// filter whose packets go to the packet intake; and stopping it at the end.
#pragma once

#include <cstdint>

#include "reception/plugin_interface.h"
#include "settings/log_file.h"

struct ReceiverPlugin {
    void* library = nullptr;  // never unloaded
    CheckForDVBFunction CheckForDVB = nullptr;
    StartDVBFunction StartDVB = nullptr;
    StopDVBFunction StopDVB = nullptr;
    SendDiSEqCFunction SendDiSEqC = nullptr;
    SetChannelFunction SetChannel = nullptr;
    SetFilterFunction SetFilter = nullptr;
    SetBitFilterFunction SetBitFilter = nullptr;  // must exist, never called
    DelFilterFunction DelFilter = nullptr;
    SignalStatusFunction SignalStatus = nullptr;      // optional
    SetLogFunctionFunction SetLogFunction = nullptr;  // optional
    int32_t filterHandle = 0;
    int receptionStarted = 0;
    PacketCallback callback = nullptr;  // nullptr: the program's onPacket
    LogFile* log = &gLog;
};

// The program's one receiver.
extern ReceiverPlugin gReceiverPlugin;

// Loads the plug-in named by use_spl, checks for a receiver, starts it, sends
// the DiSEqC command, tunes and installs the filter, reading the settings from
// config.ini. 1 when packets will flow, 0 (after its message or log line)
// when not; a failure after StartDVB stops the receiver again.
int startReception(ReceiverPlugin& plugin);
// When reception started: DelFilter, then StopDVB.
void stopReception(ReceiverPlugin& plugin);

// The DiSEqC choice 1..6 as SendDiSEqC's kind and command byte; 6 and any
// other non-zero value are "PosB - OptB".
void diseqcCommand(int32_t choice, int32_t* kind, int32_t* command);

// ---- Loading a plug-in library (one half per platform) ----------------------

enum class LibraryLoad { loaded, notFound, initFailed };

// The library's file name for `baseName`: "streamreader.dll" or "streamreader.so".
void pluginFileName(const wchar_t* baseName, wchar_t* buffer, size_t capacity);
// Loads the library from beside the executable, else from the working
// directory; on Windows, else through the system's library search.
void* loadPluginLibrary(const wchar_t* baseName, LibraryLoad* result);
// Loads the library at `path`.
void* loadLibraryFile(const wchar_t* path, LibraryLoad* result);
void* pluginFunction(void* library, const char* name);
// Unloads a library whose functions are no longer called and whose threads
// have ended. The program keeps its plug-in to the end; tests unload theirs
// so that the file can be removed.
void unloadPluginLibrary(void* library);

// Fills the entry points from `plugin.library`, looked up in their fixed
// order, then the optional SignalStatus and SetLogFunction. Returns the index in
// kPluginExportNames of the first one missing, or -1.
int resolvePluginExports(ReceiverPlugin& plugin);
