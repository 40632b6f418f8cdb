// Starting and stopping reception against a scriptable plug-in: the call
// order and arguments, and every failure with its message or log line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "reception/receiver_plugin.h"
#include "settings/messages.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
const char* const kLibrarySuffix = ".dll";
#else
const char* const kLibrarySuffix = ".so";
#endif

// What a message box would show: its text, caption (nullptr: the system's
// default) and icon. The sink has no owner window to give: none is passed.
struct Message {
    std::wstring text;
    bool hasCaption = false;
    MessageIcon icon = MessageIcon::none;
};
std::vector<Message> gMessages;
void recordMessage(void*, const wchar_t* text, const wchar_t* caption, MessageIcon icon) {
    gMessages.push_back({text, caption != nullptr, icon});
}

// A plug-in that cannot be loaded is told with an error icon under the
// system's default caption.
void expectErrorBox(const Message& shown, const std::wstring& text) {
    EXPECT_EQ(shown.text, text);
    EXPECT_FALSE(shown.hasCaption);
    EXPECT_EQ(shown.icon, MessageIcon::error);
}

int gPackets = 0;
void QM_PLUGIN_CALL countPacket(const uint8_t*, int32_t length) { gPackets += length == 188; }

struct PluginCase {
    const char* variant = "fake_plugin";  // which build of the fake, or nullptr for none
    const char* installAs = "streamreader";
    std::string config;                   // extra config.ini lines
    std::string results;                  // fakeplugin.ini
};

struct Outcome {
    int started = -1;
    std::string calls;  // calls.txt, one call a line
    std::string log;
    std::vector<Message> messages;
    std::string callsAfterStop;
};

// Each case gets a directory of its own, so that no path the process has
// loaded is reused for another variant.
Outcome runInScratch(const PluginCase& setup, std::wstring& where) {
    static int caseNumber = 0;
    std::string name = "reception-" + std::to_string(caseNumber++);
    ScratchDirectory dir(name.c_str());
    where = dir.path;
    if (setup.variant) {
        fs::copy_file(fs::path(QM_FAKE_PLUGIN_DIR) / (std::string(setup.variant) + kLibrarySuffix),
                      fs::path(dir.path) / (std::string(setup.installAs) + kLibrarySuffix));
    }
    writeWholeFile(dir.file(L"config.ini"), "wnd = 5\r\npids = 1001\r\n" + setup.config);
    writeWholeFile(dir.file(L"fakeplugin.ini"), setup.results);
    CurrentDirectoryScope here(dir.path);
    CapturedLog captured;
    ReceiverPlugin plugin;
    plugin.log = &captured.log;
    plugin.callback = countPacket;
    gMessages.clear();
    gPackets = 0;
    setMessageSink({recordMessage, nullptr});
    Outcome outcome;
    outcome.started = startReception(plugin);
    outcome.calls = readWholeFile(dir.file(L"calls.txt"));
    outcome.log = captured.text();
    outcome.messages = gMessages;
    stopReception(plugin);
    // The program keeps its plug-in loaded; a test lets go of it, so that
    // the file, and with it the directory, can be removed.
    unloadPluginLibrary(plugin.library);
    std::string all = readWholeFile(dir.file(L"calls.txt"));
    outcome.callsAfterStop = all.substr(outcome.calls.size());
    setMessageSink({});
    return outcome;
}

// Nothing of a case outlives it: a library still loaded, or a file still
// open, would keep its directory from being removed.
Outcome run(const PluginCase& setup) {
    std::wstring where;
    Outcome outcome = runInScratch(setup, where);
    EXPECT_FALSE(fileExists(where)) << "left behind: " << fs::path(where).u8string();
    return outcome;
}

TEST(Reception, ASuccessfulStartTunesWithScaledSettingsAndFiltersThePid) {
    PluginCase setup;
    setup.config = "frequency = 1\r\nsymbol_rate = 2\r\npolarity = 1\r\nlof1 = 3\r\nlof2 = 4\r\nswitch = 5\r\n";
    Outcome o = run(setup);
    EXPECT_EQ(o.started, 1);
    EXPECT_EQ(o.calls, "CheckForDVB\nStartDVB\nSetChannel 1000 2000 1 0 3000 4000 5000\nSetFilter 1001 2 1\n");
    EXPECT_EQ(o.log, "DVB: OK\n");
    EXPECT_TRUE(o.messages.empty());
    EXPECT_EQ(gPackets, 1);  // the callback handed over is the one called
    EXPECT_EQ(o.callsAfterStop, "DelFilter 77\nStopDVB\n");
}

TEST(Reception, TheProductsWrapIn32Bits) {
    PluginCase setup;
    setup.config = "frequency = 3000000\r\nsymbol_rate = -27500\r\n";
    Outcome o = run(setup);
    EXPECT_NE(o.calls.find("SetChannel -1294967296 -27500000 0 0 0 0 0\n"), std::string::npos) << o.calls;
}

TEST(Reception, AnyNonZeroUseSplSelectsTheSplitter) {
    PluginCase setup;
    setup.installAs = "streamsplitter";
    setup.config = "use_spl = 2\r\n";
    EXPECT_EQ(run(setup).started, 1);
}

TEST(Reception, TheDiseqcChoiceBecomesKindAndCommand) {
    struct Case {
        int choice;
        const char* call;  // nullptr: SendDiSEqC is not called
    } cases[] = {{0, nullptr},           {1, "SendDiSEqC 1 240"}, {2, "SendDiSEqC 1 244"},
                 {3, "SendDiSEqC 2 240"}, {4, "SendDiSEqC 2 248"}, {5, "SendDiSEqC 2 244"},
                 {6, "SendDiSEqC 2 252"}, {7, "SendDiSEqC 2 252"}, {-1, "SendDiSEqC 2 252"}};
    for (const Case& c : cases) {
        PluginCase setup;
        setup.config = "diseqc = " + std::to_string(c.choice) + "\r\n";
        Outcome o = run(setup);
        EXPECT_EQ(o.started, 1);
        if (c.call)
            EXPECT_NE(o.calls.find(std::string("StartDVB\n") + c.call + "\nSetChannel"), std::string::npos) << o.calls;
        else
            EXPECT_EQ(o.calls.find("SendDiSEqC"), std::string::npos);
    }
}

TEST(Reception, TheFirstMissingExportIsLoggedAndNothingIsCalled) {
    for (int k = 0; k < 8; ++k) {
        PluginCase setup;
        std::string variant = "fake_plugin_missing" + std::to_string(k);
        setup.variant = variant.c_str();
        Outcome o = run(setup);
        EXPECT_EQ(o.started, 0);
        EXPECT_EQ(o.log, std::string(kPluginExportNames[k]) + "\n");
        EXPECT_EQ(o.calls, "");
        EXPECT_EQ(o.callsAfterStop, "");
    }
}

TEST(Reception, ExportsAreLookedUpInTheirFixedOrderAndTheFirstMissingIsReported) {
    // Neither alphabetical nor reverse order would name these.
    const struct {
        const char* variant;
        const char* logged;
    } cases[] = {
        {"fake_plugin_missing1_5", "StartDVB\n"},
        {"fake_plugin_missing3_2", "StopDVB\n"},
        {"fake_plugin_missing7_6", "SetBitFilter\n"},
    };
    for (const auto& c : cases) {
        PluginCase setup;
        setup.variant = c.variant;
        Outcome o = run(setup);
        EXPECT_EQ(o.started, 0) << c.variant;
        EXPECT_EQ(o.log, c.logged) << c.variant;
        EXPECT_EQ(o.calls, "");
        EXPECT_TRUE(o.messages.empty());
    }
}

TEST(Reception, EachFailingStepHasItsLineAndStopsTheReceiverOnlyOnceStarted) {
    struct Case {
        const char* results;
        const char* log;
        const char* calls;
    } cases[] = {
        {"check = 0\n", "ERROR: CheckForDVB()\n", "CheckForDVB\n"},
        {"start = 0\n", "ERROR: Start()\n", "CheckForDVB\nStartDVB\n"},
        {"diseqc = 0\n", "ERROR: SendDiSEqC()\n", "CheckForDVB\nStartDVB\nSendDiSEqC 1 240\nStopDVB\n"},
        {"channel = 0\n", "ERROR: SetChannel()\n", "CheckForDVB\nStartDVB\nSendDiSEqC 1 240\nSetChannel 0 0 0 0 0 0 0\nStopDVB\n"},
        // The plug-in's reason, through the log function the program gave it.
        {"filter = 0\n", "fake: no free tuner\nERROR: SetFilter()\n",
         "CheckForDVB\nStartDVB\nSendDiSEqC 1 240\nSetChannel 0 0 0 0 0 0 0\nSetFilter 1001 2 1\nStopDVB\n"},
    };
    for (const Case& c : cases) {
        PluginCase setup;
        setup.config = "diseqc = 1\r\n";
        setup.results = c.results;
        Outcome o = run(setup);
        EXPECT_EQ(o.started, 0) << c.results;
        EXPECT_EQ(o.log, c.log);
        EXPECT_EQ(o.calls, c.calls);
        EXPECT_EQ(o.callsAfterStop, "");  // no DelFilter, no second StopDVB
        EXPECT_TRUE(o.messages.empty());
    }
}

TEST(Reception, AMissingLibraryIsReportedByName) {
    std::string suffix = kLibrarySuffix;
    PluginCase reader;
    reader.variant = nullptr;
    Outcome o = run(reader);
    EXPECT_EQ(o.started, 0);
    ASSERT_EQ(o.messages.size(), 1u);
    expectErrorBox(o.messages[0], L"Библиотека streamreader" + std::wstring(suffix.begin(), suffix.end()) + L" не найдена");
    EXPECT_EQ(o.log, "");

    PluginCase splitter;
    splitter.variant = nullptr;
    splitter.config = "use_spl = 1\r\n";
    o = run(splitter);
    ASSERT_EQ(o.messages.size(), 1u);
    expectErrorBox(o.messages[0], L"Библиотека streamsplitter" + std::wstring(suffix.begin(), suffix.end()) + L" не найдена");
}

#if defined(_WIN32)
// `directory` first on the search path that the system uses for libraries,
// for the scope.
struct SearchPathScope {
    std::wstring previous;
    explicit SearchPathScope(const std::wstring& directory) {
        const wchar_t* path = _wgetenv(L"PATH");
        previous = path ? path : L"";
        _wputenv((L"PATH=" + directory + L";" + previous).c_str());
    }
    ~SearchPathScope() { _wputenv((L"PATH=" + previous).c_str()); }
};

TEST(Reception, APluginOnTheSystemSearchPathIsFoundAfterTheWorkingDirectory) {
    ScratchDirectory vendor("reception-vendor");
    ScratchDirectory work("reception-work");
    const fs::path fakes(QM_FAKE_PLUGIN_DIR);
    // Names of their own: a library already loaded under a name is found by
    // that name alone, wherever it came from.
    fs::copy_file(fakes / "fake_plugin.dll", fs::path(vendor.path) / "qm-vendor-only.dll");
    fs::copy_file(fakes / "fake_plugin_missing7.dll", fs::path(vendor.path) / "qm-vendor-both.dll");
    fs::copy_file(fakes / "fake_plugin.dll", fs::path(work.path) / "qm-vendor-both.dll");
    SearchPathScope searched(vendor.path);
    CurrentDirectoryScope here(work.path);
    const struct {
        const wchar_t* name;
        bool found;
        bool complete;  // the full fake; the vendor's copy of "both" lacks DelFilter
    } cases[] = {
        {L"qm-vendor-only", true, true},
        {L"qm-vendor-both", true, true},
        {L"qm-vendor-none", false, false},
    };
    for (const auto& c : cases) {
        LibraryLoad result = LibraryLoad::loaded;
        void* library = loadPluginLibrary(c.name, &result);
        EXPECT_EQ(library != nullptr, c.found);
        EXPECT_EQ(result, c.found ? LibraryLoad::loaded : LibraryLoad::notFound);
        if (library) {
            EXPECT_EQ(pluginFunction(library, "DelFilter") != nullptr, c.complete);
        }
        unloadPluginLibrary(library);
    }
}

TEST(Reception, ASplitterThatFailsToInitialiseHasItsOwnMessage) {
    PluginCase splitter;
    splitter.variant = "fake_plugin_initfails";
    splitter.installAs = "streamsplitter";
    splitter.config = "use_spl = 1\r\n";
    Outcome o = run(splitter);
    EXPECT_EQ(o.started, 0);
    ASSERT_EQ(o.messages.size(), 1u);
    expectErrorBox(o.messages[0], L"Ошибка при инициализации streamsplitter.dll");
    PluginCase reader;
    reader.variant = "fake_plugin_initfails";
    o = run(reader);
    ASSERT_EQ(o.messages.size(), 1u);
    expectErrorBox(o.messages[0], L"Библиотека streamreader.dll не найдена");
}
#else
// The full fake in one folder, the one lacking DelFilter in another: which
// folder wins shows in the export. Names of their own, removed at the end.
TEST(Reception, InstalledPluginsAreFoundAfterTheProgramsFolderAndBeforeTheWorkingDirectory) {
    ScratchDirectory work("reception-work");
    const fs::path programs = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path folders[] = {{}, programs, programs / QM_PLUGIN_INSTALL_DIR, fs::path(work.path)};
    fs::create_directories(folders[2]);
    const struct {
        const char* name;
        int full, partial;  // index into folders, 0: none
    } cases[] = {
        {"qm-installed-only", 2, 0}, {"qm-installed-and-work", 3, 2}, {"qm-programs-and-installed", 1, 2},
        {"qm-work-only", 3, 0},      {"qm-nowhere", 0, 0},
    };
    std::vector<fs::path> placed;
    for (const auto& c : cases)
        for (int i : {c.full, c.partial})
            if (i) {
                placed.push_back(folders[i] / (std::string(c.name) + ".so"));
                fs::copy_file(fs::path(QM_FAKE_PLUGIN_DIR) / (i == c.full ? "fake_plugin.so" : "fake_plugin_missing7.so"),
                              placed.back(), fs::copy_options::overwrite_existing);
            }
    CurrentDirectoryScope here(work.path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LibraryLoad result = LibraryLoad::loaded;
        void* library = loadPluginLibrary(std::wstring(c.name, c.name + std::strlen(c.name)).c_str(), &result);
        EXPECT_EQ(library != nullptr, c.full != 0);
        EXPECT_EQ(result, library ? LibraryLoad::loaded : LibraryLoad::notFound);
        if (library) {  // folders are in search order: the lower index wins
            EXPECT_EQ(pluginFunction(library, "DelFilter") != nullptr, c.full < c.partial || !c.partial);
        }
        unloadPluginLibrary(library);
    }
    std::error_code ignored;
    for (const auto& f : placed) fs::remove(f, ignored);
    fs::remove(folders[2], ignored);  // when left empty
}
#endif

}  // namespace
