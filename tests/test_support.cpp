#include "tests/test_support.h"

#include <filesystem>
#include <vector>
#include <fstream>
#include <iterator>

#include "platform/platform.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
int processId() {
#if defined(_WIN32)
    return _getpid();
#else
    return getpid();
#endif
}
}  // namespace

// Scratch directories live under the system's temporary directory, named after
// the test and the process, so that a test run from anywhere (a source tree
// included) can never remove anything but its own files.
ScratchDirectory::ScratchDirectory(const char* name) {
    fs::path where = fs::temp_directory_path() / "quillmoth-tests" / (std::string(name) + "-" + std::to_string(processId()));
    std::error_code ignored;
    fs::remove_all(where, ignored);
    fs::create_directories(where);
    path = where.wstring();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(fs::path(path), ignored);
}

std::wstring ScratchDirectory::file(const std::wstring& name) const { return path + kPathSeparator + name; }

CurrentDirectoryScope::CurrentDirectoryScope(const std::wstring& path) {
    previous = fs::current_path().wstring();
    fs::current_path(fs::path(path));
}

CurrentDirectoryScope::~CurrentDirectoryScope() { fs::current_path(fs::path(previous)); }

namespace {
// Wide paths as the platform layer names them: through UTF-8 on POSIX, since
// fs::path would convert by the C locale and throw beyond ASCII.
fs::path nativePath(const std::wstring& path) {
#if defined(_WIN32)
    return fs::path(path);
#else
    std::vector<char> utf8(path.size() * 4 + 1);
    if (!wideToUtf8(path.c_str(), utf8.data(), utf8.size())) return fs::path();
    return fs::path(std::string(utf8.data()));
#endif
}
}  // namespace

std::string readWholeFile(const std::wstring& path) {
    std::ifstream in(nativePath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWholeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(nativePath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

bool fileExists(const std::wstring& path) {
    std::error_code ignored;
    return fs::exists(nativePath(path), ignored);
}

std::wstring capturePath(const char* name) {
    return (fs::path(QM_CAPTURES_DIR) / name).wstring();
}

bool capturesPresent() {
    std::error_code ignored;
    return fs::is_directory(fs::path(QM_CAPTURES_DIR), ignored);
}

std::vector<unsigned char> readCapture(const char* name) {
    std::string bytes = readWholeFile(capturePath(name));
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

CapturedLog::CapturedLog() : file(std::tmpfile()) { useStream(log, file, false); }

CapturedLog::~CapturedLog() {
    if (file) std::fclose(file);
}

std::string CapturedLog::text() {
    std::string result;
    if (!file) return result;
    std::fflush(file);
    std::rewind(file);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) result.append(chunk, n);
    std::fseek(file, 0, SEEK_END);
    return result;
}

FilterRecord byCategory(int position, uint32_t minimum, uint32_t maximum) {
    return {kFilterByCategory, CategoryTable[position].nameIdentity, CategoryTable[position].listIdentity, minimum,
            maximum};
}

FilterRecord byExtension(const wchar_t* text, uint32_t minimum, uint32_t maximum) {
    uint32_t id = findExtension(text)->identity;
    return {kFilterByExtension, id, id, minimum, maximum};
}

std::string fileOf(const std::vector<FilterRecord>& records, const std::string& trailing) {
    std::string bytes;
    for (const FilterRecord& r : records) {
        uint8_t raw[kFilterRecordSize];
        encodeFilterRecord(r, raw);
        bytes.append(reinterpret_cast<const char*>(raw), sizeof raw);
    }
    return bytes + trailing;
}
