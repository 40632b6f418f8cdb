#include "reception/receiver_plugin.h"

#include "reception/section_assembler.h"
#include "settings/config_file.h"
#include "settings/messages.h"
#include "settings/wide_format.h"

ReceiverPlugin gReceiverPlugin;

namespace {

int32_t readSetting(const char* key) {
    int32_t value = 0;
    readConfigInt(key, &value);
    return value;
}

// Settings are in MHz and kilo-symbols; the plug-in wants kHz and symbols.
// The products wrap like the 32-bit signed arithmetic the plug-ins expect.
int32_t times1000(int32_t value) { return int32_t(uint32_t(value) * 1000u); }

void reportLoadFailure(const wchar_t* baseName, bool splitter, LibraryLoad result) {
    wchar_t file[64], text[128];
    pluginFileName(baseName, file, 64);
    if (splitter && result == LibraryLoad::initFailed)
        formatWide(text, 128, L"Ошибка при инициализации %ls", file);
    else
        formatWide(text, 128, L"Библиотека %ls не найдена", file);
    showMessage(text, nullptr, MessageIcon::error);
}

// A line of the plug-in's own into the log. Not when the log is standard
// output: the plug-in has written the same line to standard error already.
void QM_PLUGIN_CALL logPluginLine(void* context, const char* line) {
    LogFile& log = *static_cast<LogFile*>(context);
    if (line && logStream(log) != stdout) logWrite(log, "%s\n", line);
}

// From a started receiver to a filtering one; false (receiver stopped again,
// line logged) when a step fails.
bool tuneAndFilter(ReceiverPlugin& p) {
    int32_t diseqc = readSetting("diseqc");
    if (diseqc != 0) {
        int32_t kind, command;
        diseqcCommand(diseqc, &kind, &command);
        if (p.SendDiSEqC(kind, command) == 0) {
            p.StopDVB();
            logWrite(*p.log, "ERROR: SendDiSEqC()\n");
            return false;
        }
    }
    if (p.SetChannel(times1000(readSetting("frequency")), times1000(readSetting("symbol_rate")),
                     readSetting("polarity"), 0, times1000(readSetting("lof1")), times1000(readSetting("lof2")),
                     times1000(readSetting("switch"))) == 0) {
        p.StopDVB();
        logWrite(*p.log, "ERROR: SetChannel()\n");
        return false;
    }
    PacketCallback callback = p.callback ? p.callback : onPacket;
    if (p.SetFilter(readSetting("pids"), callback, 2, 1, &p.filterHandle) == 0) {
        p.StopDVB();
        logWrite(*p.log, "ERROR: SetFilter()\n");
        return false;
    }
    return true;
}

}  // namespace

int resolvePluginExports(ReceiverPlugin& p) {
    void* functions[8];
    for (int i = 0; i < 8; ++i) {
        functions[i] = pluginFunction(p.library, kPluginExportNames[i]);
        if (!functions[i]) return i;
    }
    p.CheckForDVB = reinterpret_cast<CheckForDVBFunction>(functions[0]);
    p.StartDVB = reinterpret_cast<StartDVBFunction>(functions[1]);
    p.StopDVB = reinterpret_cast<StopDVBFunction>(functions[2]);
    p.SendDiSEqC = reinterpret_cast<SendDiSEqCFunction>(functions[3]);
    p.SetChannel = reinterpret_cast<SetChannelFunction>(functions[4]);
    p.SetFilter = reinterpret_cast<SetFilterFunction>(functions[5]);
    p.SetBitFilter = reinterpret_cast<SetBitFilterFunction>(functions[6]);
    p.DelFilter = reinterpret_cast<DelFilterFunction>(functions[7]);
    p.SignalStatus = reinterpret_cast<SignalStatusFunction>(pluginFunction(p.library, kSignalStatusExportName));
    p.SetLogFunction =
        reinterpret_cast<SetLogFunctionFunction>(pluginFunction(p.library, kSetLogFunctionExportName));
    return -1;
}

void diseqcCommand(int32_t choice, int32_t* kind, int32_t* command) {
    // Kind 2 follows the committed-switch layout: 0xF0, bit 2 the position B,
    // bit 3 the option B.
    switch (choice) {
        case 1: *kind = 1; *command = 0xF0; return;
        case 2: *kind = 1; *command = 0xF4; return;
        case 3: *kind = 2; *command = 0xF0; return;
        case 4: *kind = 2; *command = 0xF8; return;
        case 5: *kind = 2; *command = 0xF4; return;
        default: *kind = 2; *command = 0xFC; return;
    }
}

int startReception(ReceiverPlugin& p) {
    p.receptionStarted = 0;
    bool splitter = readSetting("use_spl") != 0;
    const wchar_t* name = splitter ? L"streamsplitter" : L"streamreader";
    LibraryLoad result = LibraryLoad::notFound;
    p.library = loadPluginLibrary(name, &result);
    if (!p.library) {
        reportLoadFailure(name, splitter, result);
        return 0;
    }
    int missing = resolvePluginExports(p);
    if (missing >= 0) {
        logWrite(*p.log, "%s\n", kPluginExportNames[missing]);
        return 0;
    }
    // Before the first call, so that whatever the plug-in says of it is logged.
    if (p.SetLogFunction) p.SetLogFunction(logPluginLine, p.log);
    if (p.CheckForDVB() == 0) {
        logWrite(*p.log, "ERROR: CheckForDVB()\n");
        return 0;
    }
    if (p.StartDVB() == 0) {
        logWrite(*p.log, "ERROR: Start()\n");
        return 0;
    }
    if (!tuneAndFilter(p)) return 0;
    logWrite(*p.log, "DVB: OK\n");
    p.receptionStarted = 1;
    return 1;
}

void stopReception(ReceiverPlugin& p) {
    if (!p.receptionStarted) return;
    p.DelFilter(p.filterHandle);
    p.StopDVB();
}
