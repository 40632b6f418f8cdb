#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/config_file.h"
#include "settings/log_file.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"config"};
    std::wstring path = dir.file(L"config.ini");
    CapturedLog logged;  // what the writers say in the program's log
    void SetUp() override { useStream(gLog, logged.file, false); }
    void TearDown() override { useStandardOutput(gLog); }
    void write(const std::string& text) { writeWholeFile(path, text); }
    std::string contents() { return readWholeFile(path); }
    int32_t readInt(const char* key, int* found = nullptr) {
        int32_t value = -12345;
        int result = readConfigIntFrom(path.c_str(), key, &value);
        if (found) *found = result;
        return value;
    }
};

struct IntCase {
    const char* file;
    const char* key;
    int found;
    int32_t value;
};

TEST_F(ConfigFileTest, ReadsIntegersByCaseInsensitivePrefixFromKeyPlusThree) {
    const IntCase cases[] = {
        {"LOF1 = 9750\r\n", "lof1", 1, 9750},
        // prefix match: the first line that starts with the key wins
        {"timeout2 = 5\r\ntimeout = 30\r\n", "timeout", 1, 5},
        // offset key + 3 holds the equals sign here
        {"timeout_x = 5\r\ntimeout = 30\r\n", "timeout", 1, 0},
        {"timeout = 30 s\r\n", "timeout", 1, 30},
        {"timeout = \r\nsort = 1\r\n", "timeout", 1, 0},
        {"timeout = ", "timeout", 1, 0},
        {"timeout", "timeout", 1, 0},
        {"sort = 1", "sort", 1, 1},                      // last line without CR LF
        {"# comment\r\n\r\nsort = -7\r\n", "sort", 1, -7},
        {"sort =    +42x\r\n", "sort", 1, 42},
        {"sort = 99999999999\r\n", "sort", 1, INT32_MAX},  // saturates
        {"sort = -99999999999\r\n", "sort", 1, INT32_MIN},
        {"tray = 1\r\n", "sort", 0, 0},
        {"", "sort", 0, 0},
        // LF-only line ends (a file edited on Linux) read as CR LF ones do
        {"wnd = 5\nsort = 1\n", "sort", 1, 1},
        {"wnd = 5\nsort = 1\n", "wnd", 1, 5},
        {"wnd = 5\r\n\nsort = 12", "sort", 1, 12},
    };
    for (const IntCase& c : cases) {
        write(c.file);
        int found = -1;
        EXPECT_EQ(readInt(c.key, &found), c.value) << c.file;
        EXPECT_EQ(found, c.found) << c.file;
    }
}

TEST_F(ConfigFileTest, MissingFileReadsAsAbsentAndWritesCreateNothing) {
    int found = -1;
    EXPECT_EQ(readInt("wnd", &found), 0);
    EXPECT_EQ(found, 0);
    wchar_t buffer[8] = L"keep";
    EXPECT_EQ(readConfigStringFrom(path.c_str(), "tmp_dir", buffer, 8), 0);
    EXPECT_EQ(std::wstring(buffer), L"keep");
    writeConfigIntTo(path.c_str(), "wnd", 3);
    writeConfigStringTo(path.c_str(), "tmp_dir", L"x");
    EXPECT_FALSE(fileExists(path));
}

struct WriteCase {
    const char* before;
    const char* key;
    int32_t value;
    const char* after;
};

TEST_F(ConfigFileTest, WritingAnIntegerRewritesTheValueAndMovesTheRest) {
    const WriteCase cases[] = {
        {"timeout = 120\r\nsort = 1\r\n", "timeout", 5, "timeout = 5\r\nsort = 1\r\n"},
        {"timeout = 5\r\nsort = 1\r\n", "timeout", 120, "timeout = 120\r\nsort = 1\r\n"},
        {"wnd = 5\r\nsort = 10", "sort", 0, "wnd = 5\r\nsort = 0"},
        {"wnd = 5\r\nsort = 1\r\n", "tray", 1, "wnd = 5\r\nsort = 1\r\n"},
        {"# keep\r\nWND = 5\r\nwnd = 9\r\n", "wnd", -3, "# keep\r\nWND = -3\r\nwnd = 9\r\n"},
        // a line that ends inside the separator gets its separator back instead
        // of the next line being overwritten
        {"sort\r\nwnd = 5\r\n", "sort", 1, "sort = 1\r\nwnd = 5\r\n"},
        {"sort =\r\nwnd = 5\r\n", "sort", 1, "sort = 1\r\nwnd = 5\r\n"},
        {"sort", "sort", 1, "sort = 1"},
        // each file keeps its own line ends, and every key after the written one
        {"wnd = 5\ntimeout = 120\nsort = 1\n", "wnd", 3, "wnd = 3\ntimeout = 120\nsort = 1\n"},
        {"wnd = 5\ntimeout = 120\nsort = 1", "timeout", 7, "wnd = 5\ntimeout = 7\nsort = 1"},
        {"sort\nwnd = 5\n", "sort", 1, "sort = 1\nwnd = 5\n"},
    };
    for (const WriteCase& c : cases) {
        write(c.before);
        writeConfigIntTo(path.c_str(), c.key, c.value);
        EXPECT_EQ(contents(), c.after) << c.before;
    }
}

// A write that fails part way (config.ini.new on a full disk) leaves the old
// file whole, and one that cannot reach the file at all says so in the log.
TEST_F(ConfigFileTest, AFailedWriteLeavesTheOldFileWhole) {
    write("wnd = 5\r\nsort = 1\r\n");
#if !defined(_WIN32)
    std::string name(path.begin(), path.end());  // the scratch path is ASCII
    for (int i = 0; i < 2; ++i) {                  // each failed write removes its new file
        std::filesystem::create_symlink("/dev/full", name + ".new");
        i ? writeConfigStringTo(path.c_str(), "sort", L"77") : writeConfigIntTo(path.c_str(), "wnd", 3);
        ASSERT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(name)));
        EXPECT_EQ(contents(), "wnd = 5\r\nsort = 1\r\n");
    }
    const std::string line = "Error: config.ini not written: No space left on device\n";
    EXPECT_EQ(logged.text(), line + line);
#else
    {
        ScopedFile holder(openFile(path.c_str(), FileAccess::read, FileShare::none, FileCreation::openExisting));
        writeConfigIntTo(path.c_str(), "wnd", 3);
    }
    EXPECT_EQ(contents(), "wnd = 5\r\nsort = 1\r\n");
    EXPECT_EQ(logged.text().rfind("Error: config.ini not written: ", 0), 0u) << logged.text();
#endif
}

// A service's working folder links config.ini to /etc: a write lands there
// and the link stays.
TEST_F(ConfigFileTest, AWriteThroughALinkKeepsTheLink) {
#if !defined(_WIN32)
    write("wnd = 5\r\nsort = 1\r\n");
    std::string name(path.begin(), path.end());
    std::filesystem::rename(name, name + ".target");
    std::filesystem::create_symlink(name + ".target", name);
    writeConfigIntTo(path.c_str(), "sort", 0);
    EXPECT_TRUE(std::filesystem::is_symlink(name));
    EXPECT_EQ(contents(), "wnd = 5\r\nsort = 0\r\n");
#endif
}

// The file keeps its mode and owner, also where the new file cannot take its
// place and the content is written over it instead: through a link into
// another file system, or for a writer who may not give the file its owner.
TEST_F(ConfigFileTest, AWriteKeepsTheModeTheOwnerAndTheLink) {
#if !defined(_WIN32)
    std::string name(path.begin(), path.end()), folder(dir.path.begin(), dir.path.end());
    std::string shm = "/dev/shm/quillmoth-config-" + std::to_string(getpid());
    struct stat here, there, info;
    bool otherFileSystem = stat(folder.c_str(), &here) == 0 && stat("/dev/shm", &there) == 0 && here.st_dev != there.st_dev;
    bool root = geteuid() == 0;
    chmod(folder.c_str(), 0777);  // so that another user could replace the file
    struct Case {
        std::string real;  // the file, which `name` links to when they differ
        mode_t mode;
        uid_t writer;      // 0: this process; else a child process as that user
    } cases[] = {{name, 0640, 0}, {shm, 0604, 0}, {name, 0666, 1234}};
    for (const Case& c : cases) {
        if ((c.real == shm && !otherFileSystem) || (c.writer && !root)) continue;
        std::filesystem::remove(name);
        writeWholeFile(std::wstring(c.real.begin(), c.real.end()), "sort = 1\r\n");
        if (c.real != name) std::filesystem::create_symlink(c.real, name);
        ASSERT_EQ(chmod(c.real.c_str(), c.mode) | chown(c.real.c_str(), root ? 4321 : -1, root ? 4322 : -1), 0);
        pid_t child = c.writer ? fork() : 0;
        if (child == 0 && (!c.writer || (setgid(c.writer) == 0 && setuid(c.writer) == 0)))
            writeConfigIntTo(path.c_str(), "sort", 0);
        if (child == 0 && c.writer) _exit(0);
        if (child > 0) waitpid(child, nullptr, 0);
        SCOPED_TRACE(c.real + " written by " + std::to_string(c.writer));
        EXPECT_EQ(readWholeFile(std::wstring(c.real.begin(), c.real.end())), "sort = 0\r\n");
        EXPECT_EQ(std::filesystem::is_symlink(name), c.real != name);
        ASSERT_EQ(stat(c.real.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_TRUE(info.st_uid == (root ? 4321 : geteuid()) && info.st_gid == (root ? 4322 : getegid()));
        EXPECT_FALSE(fileExists(path + L".new"));
    }
    std::filesystem::remove(shm);
    EXPECT_EQ(logged.text(), "");
#endif
}

// Several keys in one change are one replacement of the file (counted on
// Linux), and a change that changes nothing is none.
TEST_F(ConfigFileTest, AChangeOfSeveralKeysIsOneWrite) {
    write("wnd = 5\ncx = 800\ncy = 600\nlog_dir = .\\\nsort = 1\n");
#if defined(__linux__)
    // The "moved from" events keep the "moved to" of two replacements apart.
    int watch = inotify_init1(IN_NONBLOCK);
    std::string folder(dir.path.begin(), dir.path.end());
    ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_MOVED_FROM | IN_MOVED_TO), 0);
#endif
    ConfigChange change;
    setConfigInt(change, "wnd", 3);
    setConfigInt(change, "cx", 640);
    setConfigInt(change, "tray", 1);  // no such line: nothing written for it
    setConfigString(change, "log_dir", L"logs\\");
    setConfigInt(change, "cx", 700);  // the later value wins
    for (int i = 0; i < 2; ++i) {
        writeConfigChangeTo(path.c_str(), change);
        EXPECT_EQ(contents(), "wnd = 3\ncx = 700\ncy = 600\nlog_dir = logs\\\nsort = 1\n");
    }
#if defined(__linux__)
    alignas(inotify_event) char events[4096];
    ssize_t n = read(watch, events, sizeof events);
    int renames = 0;
    for (ssize_t at = 0; at < n; at += ssize_t(sizeof(inotify_event)) + reinterpret_cast<inotify_event*>(events + at)->len)
        renames += (reinterpret_cast<inotify_event*>(events + at)->mask & IN_MOVED_TO) != 0;
    EXPECT_EQ(renames, 1);
    close(watch);
#endif
}

TEST_F(ConfigFileTest, StringsRoundTripThroughTheOemCodePage) {
    write("tmp_dir = C:\\tmp\\\r\nok_dir = old\r\n");
    wchar_t buffer[260];
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "tmp_dir", buffer, 260), 1);
    EXPECT_EQ(std::wstring(buffer), L"C:\\tmp\\");

    writeConfigStringTo(path.c_str(), "ok_dir", L"D:\\finished files\\");
    EXPECT_EQ(contents(), "tmp_dir = C:\\tmp\\\r\nok_dir = D:\\finished files\\\r\n");

    // A character no OEM code page has comes back as the default character.
    writeConfigStringTo(path.c_str(), "ok_dir", L"a\x4E2D" L"b");
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "ok_dir", buffer, 260), 1);
    EXPECT_EQ(std::wstring(buffer), L"a?b");
}

TEST_F(ConfigFileTest, StringValuesAreCutToTheBufferAndTheLine) {
    write("log_dir = abcdefgh\r\n");
    wchar_t small[4] = L"zzz";
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "log_dir", small, 4), 1);
    EXPECT_EQ(std::wstring(small), L"abc");

    // A value longer than any the program writes is read as its first
    // kConfigValueLimit bytes.
    write("log_dir = " + std::string(3000, 'x') + "\r\nsort = 1\r\n");
    std::vector<wchar_t> big(4096);
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "log_dir", big.data(), big.size()), 1);
    EXPECT_EQ(std::wstring(big.data()), std::wstring(kConfigValueLimit, L'x'));
    EXPECT_EQ(readInt("sort"), 1);

    // A value too long for the file is cut to what the reader reads, and the
    // file stays well formed.
    std::wstring huge(3000, L'y');
    writeConfigStringTo(path.c_str(), "log_dir", huge.c_str());
    EXPECT_EQ(readInt("sort"), 1);
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "log_dir", big.data(), big.size()), 1);
    EXPECT_EQ(std::wstring(big.data()), std::wstring(kConfigValueLimit, L'y'));
}

// Paths of up to 259 characters are written back at start-up (made absolute)
// and by the settings sheet; each must read back as it was written, however
// long its line, Cyrillic included.
TEST_F(ConfigFileTest, EveryPathTheProgramWritesReadsBackWhole) {
    const std::wstring cyrillic = L"\x041F\x0430\x043F\x043A\x0430";  // "Папка"
    const std::wstring slash(1, kPathSeparator);
    struct Case {
        const char* key;
        std::wstring value;
    } cases[] = {
        {"tmp_dir", std::wstring(249, L't') + slash},                         // the line: 260 bytes
        {"ok_dir", std::wstring(258, L'o') + slash},                          // 259 characters
        {"log_dir", slash + std::wstring(50, L'l') + slash + cyrillic + std::wstring(200, L'z') + slash},
        {"symbol_rate", L"27500"},
        {"tmp_dir", L"C:\\tmp\\"},                                             // shorter again
    };
    // What the OEM code page has comes back as it was (natively, code page 866
    // has every Cyrillic letter); the rest as its default character.
    auto viaOem = [](const std::wstring& text) {
        std::vector<char> bytes(text.size() + 1);
        size_t n = wideToOem(text.c_str(), bytes.data(), bytes.size());
        std::vector<wchar_t> back(n + 1);
        oemToWide(bytes.data(), n, back.data(), back.size());
        return std::wstring(back.data());
    };
#if !defined(_WIN32)
    ASSERT_EQ(viaOem(cyrillic), cyrillic);
#endif
    write("wnd = 5\r\ntmp_dir = tmp\\\r\nok_dir = ok\\\r\nlog_dir = .\\\r\nsymbol_rate = 1\r\nsort = 1");
    for (const Case& c : cases) {
        writeConfigStringTo(path.c_str(), c.key, c.value.c_str());
        wchar_t buffer[kMaxPath] = L"";
        ASSERT_EQ(readConfigStringFrom(path.c_str(), c.key, buffer, kMaxPath), 1) << c.key;
        EXPECT_EQ(std::wstring(buffer), viaOem(c.value)) << c.key;
        EXPECT_EQ(readInt("wnd"), 5) << c.key;
        EXPECT_EQ(readInt("sort"), 1) << c.key;
    }
    // The lines in between keep their values whatever was rewritten.
    wchar_t buffer[kMaxPath] = L"";
    ASSERT_EQ(readConfigStringFrom(path.c_str(), "ok_dir", buffer, kMaxPath), 1);
    EXPECT_EQ(std::wstring(buffer), std::wstring(258, L'o') + slash);
}

TEST_F(ConfigFileTest, PlainOperationsUseConfigIniInTheCurrentDirectory) {
    write("wnd = 5\r\ncx = 640\r\n");
    CurrentDirectoryScope here(dir.path);
    writeConfigInt("cx", 800);
    int32_t cx = 0;
    EXPECT_EQ(readConfigInt("cx", &cx), 1);
    EXPECT_EQ(cx, 800);
    writeConfigString("wnd", L"3");
    wchar_t text[8];
    EXPECT_EQ(readConfigString("wnd", text, 8), 1);
    EXPECT_EQ(std::wstring(text), L"3");
}

TEST(LenientInteger, StopsAtTheFirstOtherCharacterAndNeverReadsPastTheCount) {
    EXPECT_EQ(parseLenientInt("  \t-12ab", 8), -12);
    EXPECT_EQ(parseLenientInt("-", 1), 0);
    EXPECT_EQ(parseLenientInt("123456", 3), 123);
    EXPECT_EQ(parseLenientInt("2147483647", 10), INT32_MAX);
    EXPECT_EQ(parseLenientInt("-2147483648", 11), INT32_MIN);
    EXPECT_EQ(parseLenientInt("", 0), 0);
}

}  // namespace
