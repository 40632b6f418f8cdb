// The directory rules of start-up and the status texts.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "settings/config_file.h"
#include "settings/messages.h"
#include "settings/startup.h"
#include "settings/status_text.h"
#include "tests/test_support.h"

namespace {

std::wstring absolute(const wchar_t* value, const wchar_t* current) {
    wchar_t path[kMaxPath];
    return absoluteDirectory(value, current, path, kMaxPath) ? std::wstring(path) : L"<too long>";
}

TEST(Startup, RelativeDirectoriesHangOffTheCurrentOneAndEndWithASeparator) {
#if defined(_WIN32)
    EXPECT_EQ(absolute(L"\\tmp\\", L"D:\\app"), L"D:\\app\\tmp\\");
    EXPECT_EQ(absolute(L"tmp\\", L"D:\\app"), L"D:\\app\\tmp\\");
    EXPECT_EQ(absolute(L"E:\\data\\tmp\\", L"D:\\app"), L"E:\\data\\tmp\\");
    EXPECT_EQ(absolute(L"", L"D:\\app"), L"D:\\app\\");
    EXPECT_EQ(absolute(L"E:\\data", L"D:\\app"), L"E:\\data\\");
    EXPECT_EQ(absolute(L"\\\\nas\\share\\dl\\", L"D:\\app"), L"\\\\nas\\share\\dl\\");
    EXPECT_EQ(absolute(L"", L"\\\\nas\\share\\app"), L"\\\\nas\\share\\app\\");  // started from a share
#else
    EXPECT_EQ(absolute(L"/tmp/", L"/srv/app"), L"/tmp/");
    EXPECT_EQ(absolute(L"tmp\\", L"/srv/app"), L"/srv/app/tmp/");  // written on Windows
    EXPECT_EQ(absolute(L"\\tmp\\", L"/srv/app"), L"/srv/app/tmp/");
    EXPECT_EQ(absolute(L"", L"/srv/app"), L"/srv/app/");
#endif
    std::wstring longName(kMaxPath, L'x');
    EXPECT_EQ(absolute(longName.c_str(), L"/a"), L"<too long>");
}

std::wstring gMessage;
void remember(void*, const wchar_t* text, const wchar_t*, MessageIcon) { gMessage = text; }

TEST(Startup, DirectoriesAreWrittenBackAbsoluteAndMissingOnesAreReported) {
    ScratchDirectory dir("startup");
    CurrentDirectoryScope here(dir.path);
    ASSERT_TRUE(createDirectory(dir.file(L"tmp").c_str()));
    writeWholeFile(dir.file(L"config.ini"), "wnd = 5\r\ntmp_dir = tmp\\\r\nok_dir = missing\\\r\nlog_dir = .\\logs\\\r\n");
    setMessageSink({remember, nullptr});
    wchar_t path[kMaxPath];
    EXPECT_TRUE(configurationPresent());
    prepareDirectory("tmp_dir", kTmpDirMissingMessage, path);
    std::wstring expected = dir.path + kPathSeparator + L"tmp" + kPathSeparator;
    EXPECT_EQ(std::wstring(path), expected);
    wchar_t stored[kMaxPath];
    ASSERT_EQ(readConfigString("tmp_dir", stored, kMaxPath), 1);
    EXPECT_EQ(std::wstring(stored), expected);
    EXPECT_EQ(gMessage, L"");

    prepareDirectory("ok_dir", kOkDirMissingMessage, path);
    EXPECT_EQ(std::wstring(path), L"");
    EXPECT_EQ(gMessage, kOkDirMissingMessage);

    normalizeLogDirectory();
    ASSERT_EQ(readConfigString("log_dir", stored, kMaxPath), 1);
    EXPECT_EQ(std::wstring(stored), dir.path + kPathSeparator);

    // A folder that exists but takes no files is told at start, with why.
    CapturedLog log;
    gMessage.clear();
    EXPECT_TRUE(checkDirectoryWritable("tmp_dir", expected.c_str(), kTmpDirUnwritableMessage, log.log));
    EXPECT_EQ(gMessage, L"");
    bool anything = false;  // the probe is gone
    listDirectory(expected.c_str(), [](void* any, const wchar_t*, bool) { *static_cast<bool*>(any) = true; }, &anything);
    EXPECT_FALSE(anything);
#if !defined(_WIN32)
    EXPECT_FALSE(checkDirectoryWritable("ok_dir", L"/proc/", kOkDirUnwritableMessage, log.log));
    EXPECT_EQ(gMessage, kOkDirUnwritableMessage);
    EXPECT_NE(log.text().find("Error: ok_dir /proc/ cannot be written: "), std::string::npos) << log.text();
#endif
    setMessageSink({});

    writeWholeFile(dir.file(L"config.ini"), "cx = 5\r\n");
    EXPECT_FALSE(configurationPresent());
}

TEST(StatusText, TotalsRatesErrorsAndRunningTime) {
    wchar_t text[256];
    formatTotal(1048575, text, 256);
    EXPECT_EQ(std::wstring(text), L"Всего: 0 МБ");
    formatTotal((1u << 30) - 1, text, 256);
    EXPECT_EQ(std::wstring(text), L"Всего: 1023 МБ");
    formatTotal(1u << 30, text, 256);
    EXPECT_EQ(std::wstring(text), L"Всего: 1 ГБ");
    formatOverallRate(47 * 188, 250, text, 256);
    EXPECT_EQ(std::wstring(text), L"Cкорость: 34.52 кБ/c");
    formatOverallRate(1024 * 1024, 1000, text, 256);
    EXPECT_EQ(std::wstring(text), L"Cкорость: 1.00 МБ/c");
    EXPECT_EQ(text[0], L'C');  // the Latin letter
    formatErrors(3, text, 256);
    EXPECT_EQ(std::wstring(text), L"Ошибок: 3");
    for (auto [minutes, shown] : {std::pair<uint32_t, const wchar_t*>{59, L"00:59"}, {61, L"01:01"}, {6000, L"100:00"}}) {
        formatRunningTime(minutes, text, 256);
        EXPECT_EQ(std::wstring(text), std::wstring(L"Время работы: ") + shown);
    }
}

TEST(StatusText, TheListsReceivedAndRateCells) {
    struct Received {
        uint32_t received, length;
        const wchar_t* shown;
    } received[] = {
        {512, 1024, L"512 Б (50.00%)"},
        {0, 7, L"0 Б (0.00%)"},
        {1023, 1023, L"1023 Б (100.00%)"},
        {1048576, 2097152, L"1.00 МБ (50.00%)"},
        // More than announced: above 100, and a figure too long for the
        // percentage's buffer is cut, never run into the cell.
        {3000000, 1, L"2.86 МБ (30000000"},
    };
    wchar_t text[128];
    for (const Received& c : received) {
        formatReceivedText(c.received, c.length, text, 128);
        EXPECT_EQ(std::wstring(text), c.shown) << c.received << " of " << c.length;
    }
    formatReceivedText(1024 * 1024 * 1023, 1, text, 8);
    EXPECT_EQ(std::wstring(text), L"1023.00");  // the cell's own buffer cuts too

    struct Rate {
        uint32_t bytes, periodMs;
        const wchar_t* shown;
    } rates[] = {
        {512, 1000, L"512 Б/c"},     {1024, 1000, L"1.00 кБ/c"}, {512, 500, L"1.00 кБ/c"},
        {1023, 1000, L"1023 Б/c"},   {1048576, 1000, L"1.00 МБ/c"}, {256, 250, L"1.00 кБ/c"},
        {4000000000u, 1000, L"3.73 ГБ/c"},
        // A missing upd_speed reads as 0: no rate rather than a division by zero.
        {5000, 0, L"0 Б/c"},
    };
    for (const Rate& c : rates) {
        formatRowRate(c.bytes, c.periodMs, text, 128);
        EXPECT_EQ(std::wstring(text), c.shown) << c.bytes << " in " << c.periodMs;
        EXPECT_EQ(text[std::wcslen(text) - 1], L'c');  // the Latin letter
    }
}

}  // namespace
