#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/log_file.h"
#include "tests/test_support.h"

namespace {

class LogFileTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"log"};
    LogFile log;
    std::wstring logPath = dir.file(L"log.txt");

    // The log file is not shared while open, so it is closed before reading.
    std::string closeAndRead(LogFile& which, const std::wstring& path) {
        FILE* stream = logStream(which);
        if (stream && stream != stdout) std::fclose(stream);
        useStandardOutput(which);
        return readWholeFile(path);
    }
    std::string written() { return closeAndRead(log, logPath); }
};

TEST_F(LogFileTest, LogTxtIsAppendedAndEveryLineEndIsCrLf) {
    writeWholeFile(logPath, "earlier\r\n");
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    logWrite(log, "\nQuillmoth sarted\n");
    logWrite(log, "Harlune: Len = %d\n", 2049);
    EXPECT_EQ(written(), "earlier\r\n\r\nQuillmoth sarted\r\nHarlune: Len = 2049\r\n");
}

TEST_F(LogFileTest, OpenLogFollowsLogDirFromTheConfiguration) {
    std::wstring logs = dir.file(L"logs");
    ASSERT_TRUE(createDirectory(logs.c_str()));
    std::string dirText(logs.begin(), logs.end());  // the scratch path is ASCII
    writeWholeFile(dir.file(L"config.ini"),
                   "use_log = 1\r\nlog_dir = " + dirText + std::string(1, char(kPathSeparator)) + "\r\n");
    CurrentDirectoryScope here(dir.path);
    openLog(log);
    logWrite(log, "DVB: OK\n");
    FILE* first = logStream(log);
    useStandardOutput(log);  // each OK of the settings opens the log again: its stream is kept
    openLog(log);
    EXPECT_EQ(logStream(log), first);
    logWrite(log, "after OK\n");
    EXPECT_EQ(closeAndRead(log, logs + kPathSeparator + L"log.txt"), "DVB: OK\r\nafter OK\r\n");
}

// Another spelling of the open file's path takes its stream, rather than a
// second stream (POSIX) or none, refused by the first one's sharing (Windows).
TEST_F(LogFileTest, OneFileIsOneStreamHoweverItsPathIsSpelt) {
    ASSERT_TRUE(createDirectory(dir.file(L"sub").c_str()));
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    FILE* first = logStream(log);
    const std::wstring slash(1, kPathSeparator), caseOnWindows = kPathSeparator == L'\\' ? L"LOG.TXT" : L"log.txt";
    for (const std::wstring& spelling : {dir.path + slash + L"." + slash + L"log.txt",
                                         dir.file(L"sub") + slash + L".." + slash + caseOnWindows}) {
        useStandardOutput(log);
        EXPECT_TRUE(openLogAt(log, spelling.c_str()));
        EXPECT_EQ(logStream(log), first);
        logWrite(log, "line\n");
    }
    EXPECT_EQ(written(), "line\r\nline\r\n");
}

TEST_F(LogFileTest, AnUnopenableLogFileFallsBackToStandardOutput) {
    std::wstring missing = dir.file(L"no-such-dir") + kPathSeparator + L"log.txt";
    EXPECT_FALSE(openLogAt(log, missing.c_str()));
    EXPECT_EQ(logStream(log), stdout);
    EXPECT_FALSE(fileExists(missing));

    // The same through the configuration, with no file created.
    writeWholeFile(dir.file(L"config.ini"), "log_dir = no-such-dir/\r\n");
    CurrentDirectoryScope here(dir.path);
    LogFile other;
    openLog(other);
    EXPECT_EQ(logStream(other), stdout);
    // "." that start-up could not write back as the working directory: the
    // log still goes there, not to a hidden ".log.txt".
    writeWholeFile(dir.file(L"config.ini"), "log_dir = .\r\n");
    LogFile dotted;
    openLog(dotted);
    EXPECT_NE(logStream(dotted), stdout);
    EXPECT_TRUE(fileExists(dir.file(L"log.txt")));
    EXPECT_FALSE(fileExists(dir.file(L".log.txt")));
    std::fclose(logStream(dotted));
}

TEST_F(LogFileTest, PacketDumpShowsEightBytesInHexAndAsCharacters) {
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    const unsigned char header[] = {'H', 'T', 'T', 'P', '/', '1', '.', '5'};
    logWrite(log, "ERROR: HTTP ver");
    PacketDump(log, header);
    EXPECT_EQ(written(),
              "ERROR: HTTP ver\r\nLen: 8\r\n00000000: 48 54 54 50 2F 31 2E 35   HTTP/1.5\r\n\r\n");
}

TEST_F(LogFileTest, PacketDumpHidesOnlyBytesBelowSixteen) {
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    const unsigned char bytes[] = {0x0A, 0x1F, 0x00, 0x0F, 0x10, 0x7F, 0xFF, 'A'};
    PacketDump(log, bytes);
    std::string expected = "\r\nLen: 8\r\n00000000: 0A 1F 00 0F 10 7F FF 41   .";
    expected += '\x1F';
    expected += "..";
    expected += '\x10';
    expected += '\x7F';
    expected += '\xFF';
    expected += "A\r\n\r\n";
    EXPECT_EQ(written(), expected);
}

TEST_F(LogFileTest, FinishedFileNamesAreConvertedByTheCurrentLocale) {
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    logFinishedFile(log, L"photo (0).jpg");
    // The classic locale has no conversion for Cyrillic: each such letter is "?".
    logFinishedFile(log, L"\x0444\x043E\x0442\x043E (1).jpg");
    EXPECT_EQ(written(), "File: photo (0).jpg - ok\r\nFile: ???? (1).jpg - ok\r\n");
}

TEST_F(LogFileTest, AVeryLongFinishedFileNameIsCutNotOverflowed) {
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    std::wstring name(5000, L'n');
    logFinishedFile(log, name.c_str());
    std::string text = written();
    ASSERT_GE(text.size(), 13u);
    EXPECT_LT(text.size(), 5000u);
    EXPECT_EQ(text.substr(0, 6), "File: ");
    EXPECT_EQ(text.substr(text.size() - 7), " - ok\r\n");
}

struct Writer {
    LogFile* log;
    int id;
    Event* done;
};

void writeLines(void* raw) {
    Writer& w = *static_cast<Writer*>(raw);
    for (int i = 0; i < 2000; ++i) logWrite(*w.log, "thread %d line %04d of a line long enough to tear\n", w.id, i);
    setEvent(w.done);
}

TEST_F(LogFileTest, LinesOfDifferentThreadsNeverMix) {
    ASSERT_TRUE(openLogAt(log, logPath.c_str()));
    Writer writers[4];
    for (int t = 0; t < 4; ++t) {
        writers[t] = {&log, t, createEvent()};
        ASSERT_TRUE(startDetachedThread(writeLines, &writers[t]));
    }
    for (Writer& w : writers) {
        EXPECT_EQ(waitEvent(w.done, 60000), WaitResult::signalled);
        closeEvent(w.done);
    }
    std::string text = written();
    size_t lines = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        int id = -1, number = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d of a line long enough to %63s", &id, &number, tail), 3)
            << line;
        EXPECT_STREQ(tail, "tear");
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, 4u * 2000u);
}

// The settings sheet switches the log while other threads write: a line goes
// to one stream with that stream's line ends, never with the other's.
struct SwitchWriter {
    LogFile* log;
    std::atomic<bool>* stop;
    std::atomic<long> lines{0};
    Event* done;
};

void writeUntilStopped(void* raw) {
    SwitchWriter& w = *static_cast<SwitchWriter*>(raw);
    while (!w.stop->load()) {
        logWrite(*w.log, "line %06ld\nsecond part\n", w.lines.load());
        w.lines.fetch_add(1);
    }
    setEvent(w.done);
}

TEST_F(LogFileTest, ALineWrittenDuringASwitchGetsTheLineEndsOfItsStream) {
    std::wstring crlfPath = dir.file(L"crlf.txt"), lfPath = dir.file(L"lf.txt");
    FILE* crlfStream = openExclusiveAppendStream(crlfPath.c_str());
    FILE* lfStream = openExclusiveAppendStream(lfPath.c_str());
    ASSERT_TRUE(crlfStream && lfStream);
    useStream(log, crlfStream, true);

    std::atomic<bool> stop{false};
    SwitchWriter writer{&log, &stop, {0}, createEvent()};
    ASSERT_TRUE(startDetachedThread(writeUntilStopped, &writer));
    uint64_t deadline = monotonicMilliseconds() + 60000;
    while (writer.lines.load() == 0 && monotonicMilliseconds() < deadline) sleepMilliseconds(1);
    for (int i = 0; i < 20000; ++i) {
        bool crlf = i % 2 != 0;
        useStream(log, crlf ? crlfStream : lfStream, crlf);
    }
    stop.store(true);
    ASSERT_EQ(waitEvent(writer.done, 60000), WaitResult::signalled);
    closeEvent(writer.done);
    useStandardOutput(log);
    std::fclose(crlfStream);
    std::fclose(lfStream);

    std::string withCrLf = readWholeFile(crlfPath), withLf = readWholeFile(lfPath);
    EXPECT_GT(writer.lines.load(), 0);
    EXPECT_FALSE(withCrLf.empty());
    for (size_t i = 0; i < withCrLf.size(); ++i) {
        if (withCrLf[i] != '\n') continue;
        ASSERT_TRUE(i > 0 && withCrLf[i - 1] == '\r') << "bare LF at " << i;
    }
    EXPECT_EQ(withLf.find('\r'), std::string::npos);
}

}  // namespace
