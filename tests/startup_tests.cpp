// The directory rules of start-up and the status texts.
#include <gtest/gtest.h>

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
    EXPECT_EQ(absolute(L"\\\\server\\share\\", L"D:\\app"), L"D:\\app\\\\server\\share\\");
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

}  // namespace
