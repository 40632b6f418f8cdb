#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "extraction/extraction.h"
#include "extraction/file_names.h"
#include "extraction/object_header.h"
#include "tests/test_support.h"

namespace {

struct Parsed {
    uint16_t headerLength = 0;
    std::wstring name;
    std::wstring extension;  // empty: none
    int32_t index = -1;
    uint32_t length = 0;
    std::string log;
};

Parsed parse(const std::string& bytes) {
    CapturedLog captured;
    wchar_t name[kFileNameCapacity] = L"untouched";
    ObjectHeaderInfo info;
    info.name = name;
    info.length = 77;
    // An exact-size copy, so that a read past `count` is caught under ASan.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    Parsed p;
    p.headerLength = parseObjectHeader(copy.size(), info, copy.data(), captured.log);
    p.name = name;
    if (info.extension) {
        p.extension = info.extension->text;
        p.index = info.extension->index;
    }
    p.length = info.length;
    p.log = captured.text();
    return p;
}

std::string response(const std::string& lines, const std::string& body = "") {
    return "HTTP/1.1 200 OK\r\n" + lines + "\r\n" + body;
}

TEST(ObjectHeader, StatusLineRules) {
    struct Case {
        std::string bytes;
        bool accepted;
        const char* log;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", true, ""},
        {"HTTP/1.0 200 OK\r\n\r\n", true, ""},
        {"HTTP/1.1 404 Not Found\r\n\r\n", false, ""},
        {"HTTP/1.1 206 Partial\r\n\r\n", false, ""},
        {"HTTP/2 200 OK\r\n\r\n", false, ""},
        {"http/1.1 200 OK\r\n\r\n", false, ""},
        {"HTTP/1.1 200\r\n\r\n", true, ""},  // exactly 12 bytes before the end of header
        {"HTTP/1.1 20\r\n\r\n", false, ""},
        {"HTTP/1.1 200 OK\r\n", false, ""},  // the header never ends
        {"HTTP/1.2 200 OK\r\n\r\n", false,
         "ERROR: HTTP ver\nLen: 8\n00000000: 48 54 54 50 2F 31 2E 32   HTTP/1.2\n\n"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.bytes);
        EXPECT_EQ(p.headerLength != 0, c.accepted) << c.bytes;
        EXPECT_EQ(p.log, c.log) << c.bytes;
        if (!c.accepted) {
            EXPECT_EQ(p.name, L"untouched");  // info is left alone
            EXPECT_EQ(p.length, 77u);
        }
    }
    // Eleven bytes are refused whatever they hold.
    EXPECT_EQ(parse("HTTP/1.1 20").headerLength, 0);
    EXPECT_EQ(parse("HTTP/1.5 200").log.substr(0, 15), "ERROR: HTTP ver");
    EXPECT_EQ(parse("HTTP/1.5 20").log, "");
}

TEST(ObjectHeader, TheHeaderLengthIsTheOffsetOfTheFirstBodyByte) {
    std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n";
    Parsed p = parse(header + "abc");
    EXPECT_EQ(p.headerLength, header.size());
    // A blank line that ends exactly at the last byte: accepted, empty body,
    // and no probe can succeed.
    Parsed q = parse("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 3\r\n\r\n");
    EXPECT_NE(q.headerLength, 0);
    EXPECT_EQ(q.extension, L"");
}

TEST(ObjectHeader, ContentLengthIsReadLeniently) {
    struct Case {
        const char* line;
        uint32_t length;
    } cases[] = {
        {"Content-Length: 5000", 5000},
        {"Content-Length:5000", 0},  // the first character after the colon is dropped
        {"Content-Length: 12abc", 12},
        {"content-length: 7", 7},
        {"Content-Length:   +42", 42},
        {"Content-Length: -1", 4294967295u},
        {"Content-Length: -2", 4294967294u},
        {"Content-Length: 4294967295", 4294967295u},
        {"Content-Length: 99999999999999999999", 4294967295u},
        {"Content-Length: x", 0},
        {"Content-Length:", 0},
        {"Content-Length : 5", 0},  // the name must match whole
        {"::Content-Length: 9", 9},  // leading colons are skipped
    };
    for (const Case& c : cases) EXPECT_EQ(parse(response(std::string(c.line) + "\r\n")).length, c.length) << c.line;
    // The last Content-Length wins.
    EXPECT_EQ(parse(response("Content-Length: 1\r\nContent-Length: 2\r\n")).length, 2u);
}

TEST(ObjectHeader, ContentDispositionGivesTheNameAndPerhapsTheExtension) {
    struct Case {
        const char* value;
        const wchar_t* name;
        const wchar_t* extension;
    } cases[] = {
        {"attachment; filename=\"report.final.PDF\"", L"report.final", L"pdf"},
        {"attachment; filename=photo", L"photo", L""},
        {"attachment; filename=\"archive.tar.gz\"", L"archive.tar", L""},
        {"attachment; FILENAME=a.jpg", L"", L""},  // the key is case-sensitive
        {"attachment;filename=a.jpg", L"a", L"jpg"},
        {"attachment;  filename=a.jpg", L"", L""},  // only one blank is removed
        {"attachment; filename=\"unterminated.png", L"unterminated", L"png"},
        {"attachment; filename=\".gif\"", L"", L"gif"},
        {"attachment; filename=\"\"", L"", L""},
        {"attachment; filename=a.b; filename=c.zip", L"a", L""},  // the first parameter only
        {"filename=x.Mp3", L"x", L"mp3"},
        {"attachment; filename=a.jpeg", L"a", L""},  // whole entry text only
    };
    for (const Case& c : cases) {
        Parsed p = parse(response(std::string("Content-Disposition: ") + c.value + "\r\n"));
        EXPECT_EQ(p.name, c.name) << c.value;
        EXPECT_EQ(p.extension, c.extension) << c.value;
    }
    EXPECT_EQ(parse(response("Content-Disposition: attachment; filename=\"report.final.PDF\"\r\n")).index, 20);
    // The header name itself is compared without case.
    EXPECT_EQ(parse(response("content-disposition: attachment; filename=z.zip\r\n")).extension, L"zip");
}

TEST(ObjectHeader, ContentTypeNamesTheExtensionOnlyForExactMainTypes) {
    struct Case {
        const char* value;
        const wchar_t* extension;
    } cases[] = {
        {"text/html; charset=utf-8", L"html"},
        {"Text/html", L""},
        {"image/JPEG", L"jpg"},
        {"text/html ; charset=utf-8", L""},
        {"image", L""},
        {"image/", L""},
        {"application/x-gzip", L""},
        {"application/zip", L"zip"},
        {"application/x-zip-compressed", L"zip"},
        {"application/rar", L"rar"},
        {"application/x-cab-compressed", L"cab"},
        {"application/json", L"json"},
        {"application/javascript", L"js"},
        {"application/x-shockwave-flash", L"swf"},
        {"application/msword", L"doc"},
        {"application/x-msdownload", L"exe"},
        {"image/vnd.microsoft.icon", L"ico"},
        {"image/x-ms-bmp", L"bmp"},
        {"image/x-djvu", L"djv"},
        {"text/txt", L"txt"},
        {"text/x-js", L"js"},
        {"audio/wma-audio", L"wma"},
        {"audio/basic", L"au"},
        {"audio/mpeg", L"mp3"},
        {"video/quicktime", L"mov"},
        {"video/x-flv", L"flv"},
        {"video/x-msvideo", L"avi"},
        {"video/x-ms-wmv", L"wmv"},
        {"video/mp4", L""},
        {"model/gltf", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse(response(std::string("Content-Type: ") + c.value + "\r\n")).extension, c.extension) << c.value;
}

// From a header to the name of the file on disk: the content types of the
// table not tried above, with and without a name, and names in the OEM code
// page long enough to be cut (by bytes natively: Cyrillic letters take two
// in UTF-8, box-drawing ones three).
TEST(ObjectHeader, HeadersBecomeFileNamesThatFitTheSystem) {
    struct Case {
        std::string disposition;  // the raw file name in the OEM code page; empty: no such line
        const char* type;
        const wchar_t* extension;
        size_t keptUtf16;  // characters of the name before " (3).ext"
        size_t keptUtf8;
    } cases[] = {
        {"", "application/xml", L"xml", 0, 0},
        {"", "application/x-zip", L"zip", 0, 0},
        {"", "application/x-rar-compressed", L"rar", 0, 0},
        {"", "application/x-rar", L"rar", 0, 0},
        {"", "application/cab", L"cab", 0, 0},
        {"", "application/pdf", L"pdf", 0, 0},
        {"", "application/x-javascript", L"js", 0, 0},
        {"", "image/gif", L"gif", 0, 0},
        {"", "image/jpg", L"jpg", 0, 0},
        {"", "image/pjpeg", L"jpg", 0, 0},
        {"", "image/x-png", L"png", 0, 0},
        {"", "image/ico", L"ico", 0, 0},
        {"", "image/x-ico", L"ico", 0, 0},
        {"", "image/bmp", L"bmp", 0, 0},
        {"", "image/vnd.djvu", L"djv", 0, 0},
        {"", "text/xml", L"xml", 0, 0},
        {"", "text/css", L"css", 0, 0},
        {"", "text/text", L"txt", 0, 0},
        {"", "text/javascript", L"js", 0, 0},
        {"", "audio/x-ms-wma", L"wma", 0, 0},
        {"", "audio/mp3", L"mp3", 0, 0},
        {"", "video/flv", L"flv", 0, 0},
        {"\x8E\xE2\xE7\xF1\xE2.pdf", "application/pdf", L"pdf", 5, 5},
        {"\x8E\xE2\xE7\xF1\xE2", "image/png", L"png", 5, 5},
        {std::string(130, '\xEF') + ".txt", "text/plain", L"txt", 130, 123},
        {std::string(300, '\x86') + ".pdf", "application/pdf", L"pdf", 247, 123},
        {"a" + std::string(200, '\x86') + ".zip", "application/zip", L"zip", 201, 124},
        {std::string(100, '\xB0'), "text/css", L"css", 100, 82},
        {std::string(300, 'n') + ".doc", "application/msword", L"doc", 247, 247},
    };
    DatagramAddress address;
    address.destinationAddress = 0xEF010203;
    address.destinationPort = 5001;
    address.sourcePort = 4000;
    for (const Case& c : cases) {
        std::string lines = std::string("Content-Type: ") + c.type + "\r\nContent-Length: 10\r\n";
        if (!c.disposition.empty()) lines += "Content-Disposition: attachment; filename=\"" + c.disposition + "\"\r\n";
        wchar_t name[kFileNameCapacity] = L"";
        ObjectHeaderInfo info;
        info.name = name;
        std::string header = response(lines);
        std::vector<uint8_t> bytes(header.begin(), header.end());
        CapturedLog captured;
        ASSERT_NE(parseObjectHeader(bytes.size(), info, bytes.data(), captured.log), 0) << c.type;
        ASSERT_TRUE(info.extension) << c.type;
        EXPECT_EQ(std::wstring(info.extension->text), c.extension) << c.type;

        wchar_t fileName[kFileNameCapacity];
        buildFileName(name, info.extension, address, 3, fileName);
        std::wstring suffix = std::wstring(L" (3).") + c.extension;
        std::wstring expected = L"EF010203_5001_4000_3." + std::wstring(c.extension);
        if (!c.disposition.empty()) {
            // The name as this system's OEM code page reads it, cut by its unit.
            size_t kept = kFileNameUnit == FileNameUnit::utf8 ? c.keptUtf8 : c.keptUtf16;
            expected = std::wstring(name).substr(0, kept) + suffix;
            char utf8[2048];
            ASSERT_TRUE(wideToUtf8(fileName, utf8, sizeof utf8));
            size_t limit = kFileNameUnit == FileNameUnit::utf8 ? 255 : 4 * 255;
            EXPECT_LE(std::strlen(utf8), limit) << c.type;
            EXPECT_LE(std::wcslen(fileName), 255u) << c.type;
        }
        EXPECT_EQ(std::wstring(fileName), expected) << c.type << " " << c.disposition.size();
    }
}

TEST(ObjectHeader, TheBodyIsProbedForGenericTypes) {
    struct Case {
        const char* type;
        std::string body;
        const wchar_t* extension;
    } cases[] = {
        {"application/octet-stream", "MZ\x90", L"exe"},
        {"application/octet-stream", std::string("RIFF\0\0\0\0WAVE", 12), L"bin"},
        {"application/octet-stream", std::string("RIFF\0\0\0\0AVI ", 12), L"avi"},
        {"application/octet-stream", "RIFF1234AV", L"bin"},  // "AVI" would lie past the bytes
        {"application/octet-stream", "ID3\x03", L"mp3"},
        {"application/octet-stream", "Rar!\x1A", L"rar"},
        {"application/octet-stream", "Rar?", L""},
        {"application/octet-stream", "PK\x03\x04", L"zip"},
        {"application/octet-stream", "FLV\x01", L"flv"},
        {"application/octet-stream", "%PDF", L""},
        {"text/plain", "Rar", L"rar"},
        {"text/plain", "PK", L"zip"},
        {"text/plain", "FLV", L"flv"},
        {"text/plain", "ID3", L""},
        {"text/plain", "MZ", L""},
    };
    for (const Case& c : cases) {
        Parsed p = parse(response(std::string("Content-Type: ") + c.type + "\r\n", c.body));
        EXPECT_EQ(p.extension, c.extension) << c.type << " " << c.body;
    }
}

TEST(ObjectHeader, TheFirstExtensionTheLastNameAndTheLastLengthWin) {
    Parsed p = parse(response(
        "Content-Type: image/png\r\n"
        "Content-Disposition: attachment; filename=a.gif\r\n"
        "Content-Length: 10\r\n"));
    EXPECT_EQ(p.extension, L"png");
    EXPECT_EQ(p.name, L"a");

    Parsed q = parse(response(
        "Content-Disposition: attachment; filename=photo\r\n"
        "Content-Type: image/jpeg\r\n"
        "Content-Disposition: attachment; filename=\"second.txt\"\r\n"));
    EXPECT_EQ(q.extension, L"jpg");
    EXPECT_EQ(q.name, L"second");

    // Lines end at CR or LF alone too; empty lines are skipped.
    Parsed r = parse("HTTP/1.1 200 OK\nContent-Length: 5\r\r\nContent-Type: text/css\r\n\r\n");
    EXPECT_EQ(r.length, 5u);
    EXPECT_EQ(r.extension, L"css");
}

TEST(ObjectHeader, NamesAreConvertedFromOemAndCutTo255) {
    Parsed p = parse(response("Content-Disposition: attachment; filename=\"" + std::string(300, 'n') + ".zip\"\r\n"));
    EXPECT_EQ(p.name, std::wstring(255, L'n'));
    EXPECT_EQ(p.extension, L"zip");
#if !defined(_WIN32)
    // Natively the OEM code page is 866: "Отчёт" in it.
    Parsed q = parse(response("Content-Disposition: attachment; filename=\"\x8E\xE2\xE7\xF1\xE2.pdf\"\r\n"));
    EXPECT_EQ(q.name, L"Отчёт");
#endif
}

TEST(ObjectHeader, HostileNamesBecomeOnePlainName) {
    struct Case {
        const char* raw;
        const wchar_t* name;
    } cases[] = {
        {"..\\\\..\\\\windows\\\\evil.exe", L"..__..__windows__evil"},  // the line holds doubled backslashes
        {"../../etc/passwd.txt", L".._.._etc_passwd"},
        {"C:\\\\boot.ini", L"C___boot"},
        {"a:stream.txt", L"a_stream"},
        {"x*y?z<w>v|u.txt", L"x_y_z_w_v_u"},
        {"con.txt", L"_con"},
        {"NUL.tar.gz", L"_NUL.tar"},
        {"com1 .zip", L"_com1 "},
        {"lpt9.zip", L"_lpt9"},
        {"console.zip", L"console"},
        {"com10.zip", L"com10"},
        {"tab\there.zip", L"tab_here"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(response(std::string("Content-Disposition: attachment; filename=\"") + c.raw + "\"\r\n"));
        EXPECT_EQ(p.name, c.name) << c.raw;
    }
}

// Windows takes COM and LPT with a superscript digit for devices too, and
// some OEM code pages have those digits.
TEST(FileNames, DeviceNamesWithSuperscriptDigitsAreConfined) {
    struct Case {
        const wchar_t* name;
        const wchar_t* confined;
    } cases[] = {
        {L"COM\x00B9.txt", L"_COM\x00B9.txt"},
        {L"com\x00B2", L"_com\x00B2"},
        {L"LPT\x00B3 .zip", L"_LPT\x00B3 .zip"},
        {L"lpt\x00B9", L"_lpt\x00B9"},
        {L"COM\x2074.txt", L"COM\x2074.txt"},  // superscript four names no device
        {L"COM\x00B9\x00B9.txt", L"COM\x00B9\x00B9.txt"},
        {L"COM7", L"_COM7"},
    };
    for (const Case& c : cases) {
        wchar_t name[kFileNameCapacity];
        std::wcscpy(name, c.name);
        confineFileName(name, kFileNameCapacity);
        EXPECT_EQ(std::wstring(name), c.confined);
    }
}

TEST(FileNames, ADeviceNameAtFullLengthStaysWithinTheBuffer) {
    wchar_t name[kFileNameCapacity];
    std::wstring text = L"aux." + std::wstring(251, L'x');
    std::wcscpy(name, text.c_str());
    confineFileName(name, kFileNameCapacity);
    EXPECT_EQ(std::wcslen(name), 255u);
    EXPECT_EQ(std::wstring(name).substr(0, 5), L"_aux.");
}

TEST(ContentClasses, TheTablesHaveTheirFixedOrderAndMembers) {
    const wchar_t* texts[kExtensionCount] = {L"gif", L"html", L"jpg", L"xml", L"txt", L"bin", L"css", L"png",
                                             L"ico", L"js",  L"json", L"swf", L"bmp", L"wmv", L"avi", L"rar",
                                             L"zip", L"exe", L"wma", L"flv", L"pdf", L"cab", L"mp3", L"djv",
                                             L"doc", L"au",  L"mov", L"iso", L"nrg"};
    for (int i = 0; i < kExtensionCount; ++i) {
        EXPECT_STREQ(ExtensionTable[i].text, texts[i]);
        EXPECT_EQ(ExtensionTable[i].index, i);
        EXPECT_EQ(findExtension(texts[i]), &ExtensionTable[i]);
        EXPECT_EQ(extensionByIdentity(ExtensionTable[i].identity), &ExtensionTable[i]);
    }
    EXPECT_EQ(findExtension(L"JPG"), &ExtensionTable[2]);
    EXPECT_EQ(findExtension(L"jp"), nullptr);
    EXPECT_EQ(findExtension(L"jpeg"), nullptr);

    const wchar_t* names[kCategoryCount] = {L"Все", L"Архивы", L"Видео", L"Документы", L"Изображения", L"Музыка"};
    const char* members[kCategoryCount] = {"", "zip rar cab", "wmv avi flv mov",
                                           "html xml txt css js json pdf djv doc", "gif jpg png ico swf bmp",
                                           "mp3 wma au"};
    for (int c = 0; c < kCategoryCount; ++c) {
        EXPECT_STREQ(CategoryTable[c].name, names[c]);
        std::string list;
        for (int m = 0; CategoryTable[c].members && m < CategoryTable[c].memberCount; ++m) {
            if (!list.empty()) list += ' ';
            for (const wchar_t* t = CategoryTable[c].members[m]->text; *t; ++t) list += char(*t);
        }
        EXPECT_EQ(list, members[c]);
    }
    EXPECT_EQ(CategoryTable[0].listIdentity, AllExtensions);
    for (const char* loner : {"bin", "exe", "iso", "nrg"}) {
        std::wstring text(loner, loner + std::strlen(loner));
        const ExtensionEntry* e = findExtension(text.c_str());
        EXPECT_TRUE(listContains(AllExtensions, e));
        for (int c = 1; c < kCategoryCount; ++c) EXPECT_FALSE(listContains(CategoryTable[c].listIdentity, e));
    }
}

TEST(ContentClasses, IdentitiesAreDistinctAndFixed) {
    std::vector<uint32_t> all;
    for (const ExtensionEntry& e : ExtensionTable) all.push_back(e.identity);
    for (const Category& c : CategoryTable) {
        all.push_back(c.nameIdentity);
        all.push_back(c.listIdentity);
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    // Files written by earlier runs and by the other platform hold these values.
    EXPECT_EQ(ExtensionTable[0].identity, 0x45000000u);
    EXPECT_EQ(ExtensionTable[28].identity, 0x4500001Cu);
    EXPECT_EQ(CategoryTable[3].nameIdentity, 0x4E000003u);
    EXPECT_EQ(CategoryTable[3].listIdentity, 0x4C000003u);
    EXPECT_EQ(AllExtensions, 0x4C000000u);
}

}  // namespace
