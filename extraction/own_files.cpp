// The journal of the files this receiver made. Its lines:
//   "Quillmoth journal 1"   first, so that only our own journals are read
//   "t PATH", "p PATH"      a temporary or partial file is about to be made
//   "- PATH"                that file is gone
// Paths are UTF-8. A line without its line end (a crash mid-write) is ignored.
#include "extraction/own_files.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "settings/wide_format.h"

namespace {

const char kJournalHeader[] = "Quillmoth journal 1\n";
const wchar_t kJournalPrefix[] = L".quillmoth-";
const wchar_t kJournalSuffix[] = L".journal";
// A journal is written afresh when it holds this many more lines than files.
constexpr uint32_t kSpareLines = 256;
// Leftover journals larger than this are not ours: ours are kept short.
constexpr int64_t kLargestJournal = 64 << 20;


bool isLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

const wchar_t* nameOf(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return path.c_str() + (cut == std::wstring::npos ? 0 : cut + 1);
}

bool isJournalName(const wchar_t* name) {
    size_t length = std::wcslen(name), prefix = std::wcslen(kJournalPrefix), suffix = std::wcslen(kJournalSuffix);
    return length > prefix + suffix && std::wcsncmp(name, kJournalPrefix, prefix) == 0 &&
           std::wcscmp(name + length - suffix, kJournalSuffix) == 0;
}

// One write, so that a crash leaves whole lines and at most a torn last one.
void appendLine(OwnFiles& own, char kind, const std::wstring& path) {
    if (own.journal == kNoFile) return;
    char line[kMaxPath * 4 + 8];
    line[0] = kind;
    line[1] = ' ';
    if (!wideToUtf8(path.c_str(), line + 2, sizeof line - 3)) return;
    size_t length = std::strlen(line);
    line[length++] = '\n';
    writeFile(own.journal, line, uint32_t(length));
    ++own.linesWritten;
}

// Emptied first, then written: a crash in between leaves fewer names known,
// never a name that was not ours.
void rewriteJournal(OwnFiles& own) {
    if (!seekFile(own.journal, 0) || !truncateFile(own.journal)) return;
    writeFile(own.journal, kJournalHeader, uint32_t(sizeof kJournalHeader - 1));
    own.linesWritten = 0;
    for (const auto& entry : own.live) appendLine(own, char(entry.second), entry.first);
}

void compactIfLong(OwnFiles& own) {
    if (own.journal != kNoFile && own.linesWritten > kSpareLines + 2 * own.live.size()) rewriteJournal(own);
}

bool hasControlCharacter(const std::wstring& path) {
    for (wchar_t c : path)
        if (uint32_t(c) < 0x20) return true;
    return false;
}

// The files a journal still lists; false when it is not one of our journals.
bool readJournal(FileHandle file, std::map<std::wstring, OwnFileKind>& listed) {
    int64_t size = fileSize(file);
    if (size <= 0 || size > kLargestJournal) return false;
    std::string text(size_t(size), '\0');
    if (!seekFile(file, 0) || readFile(file, &text[0], uint32_t(size)) != size) return false;
    size_t header = sizeof kJournalHeader - 1;
    if (text.compare(0, header, kJournalHeader) != 0) return false;
    for (size_t start = header; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // torn by a crash
        std::string line = text.substr(start, end - start);
        start = end + 1;
        wchar_t path[kMaxPath];
        size_t length = 0;
        if (line.size() < 3 || line[1] != ' ' || !utf8ToWide(line.c_str() + 2, path, kMaxPath, &length)) continue;
        if (line[0] == '-')
            listed.erase(path);
        else if (line[0] == 't' || line[0] == 'p')
            listed[path] = OwnFileKind(line[0]);
    }
    return true;
}

// A dead journal speaks only for what this receiver would have made: its
// temporary files lie in the journal's own folder, its partial files carry
// our partial name. Anything else in it is not trusted.
bool believable(const std::wstring& path, OwnFileKind kind, const std::wstring& directory) {
    if (kind == OwnFileKind::partial) return isPartialFileName(nameOf(path));
    size_t cut = path.find_last_of(L"\\/");
    return cut != std::wstring::npos && path.compare(0, cut + 1, directory) == 0 && cut + 1 < path.size();
}

struct Found {
    std::vector<std::wstring> journals;
};

void noteJournal(void* context, const wchar_t* name, bool plainFile) {
    if (plainFile && isJournalName(name)) static_cast<Found*>(context)->journals.push_back(name);
}

}  // namespace

bool isPartialFileName(const wchar_t* name) {
    if (name[0] != L'~') return false;
    for (int i = 1; i <= 7; ++i)
        if (!isLowerHexDigit(name[i])) return false;
    return name[8] == L'\0';
}

bool openOwnFiles(OwnFiles& own, const wchar_t* directory) {
    if (!own.mutex) own.mutex = createMutex();
    ScopedLock lock(own.mutex);
    if (own.journal != kNoFile) return true;
    uint32_t seed = uint32_t(monotonicMilliseconds()) ^ uint32_t(reinterpret_cast<uintptr_t>(&own) >> 4);
    for (uint32_t attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[64];
        formatWide(name, 64, L"%ls%08x%ls", kJournalPrefix, unsigned(seed + attempt * 0x9E3779B9u), kJournalSuffix);
        std::wstring path = std::wstring(directory) + name;
        FileHandle file = openFile(path.c_str(), FileAccess::readWrite, FileShare::none, FileCreation::createNew);
        if (file == kNoFile) {
            if (entryExists(path.c_str())) continue;
            return false;
        }
        hideFile(path.c_str());
        own.journal = file;
        own.journalPath = path;
        rewriteJournal(own);
        return true;
    }
    return false;
}

void recordOwnFile(OwnFiles& own, const wchar_t* path, OwnFileKind kind) {
    std::wstring full(path);
    if (!own.mutex) return;
    ScopedLock lock(own.mutex);
    own.live[full] = kind;
    if (!hasControlCharacter(full)) appendLine(own, char(kind), full);
    compactIfLong(own);
}

void forgetOwnFile(OwnFiles& own, const wchar_t* path) {
    if (!own.mutex) return;
    ScopedLock lock(own.mutex);
    if (own.live.erase(path) == 0) return;
    appendLine(own, '-', path);
    compactIfLong(own);
}

int recoverOwnFiles(OwnFiles& own, const wchar_t* directory) {
    Found found;
    if (!directory[0] || !listDirectory(directory, noteJournal, &found)) return 0;
    int removed = 0;
    std::wstring base(directory);
    for (const std::wstring& name : found.journals) {
        std::wstring path = base + name;
        if (path == own.journalPath) continue;
        // A journal that its receiver still holds cannot be opened.
        FileHandle file = openFile(path.c_str(), FileAccess::readWrite, FileShare::none, FileCreation::openExisting);
        if (file == kNoFile) continue;
        std::map<std::wstring, OwnFileKind> listed;
        if (!readJournal(file, listed)) {
            closeFile(file);
            continue;
        }
        for (const auto& entry : listed) {
            if (!believable(entry.first, entry.second, base) || !entryExists(entry.first.c_str())) continue;
            if (entry.second == OwnFileKind::partial) {
                if (deleteFile(entry.first.c_str())) ++removed;
            } else {
                recordOwnFile(own, entry.first.c_str(), entry.second);
            }
        }
        closeFile(file);
        deleteFile(path.c_str());
    }
    return removed;
}

int deleteOwnTemporaryFiles(OwnFiles& own) {
    if (!own.mutex) return 0;
    std::vector<std::wstring> temporary;
    {
        ScopedLock lock(own.mutex);
        for (const auto& entry : own.live)
            if (entry.second == OwnFileKind::temporary) temporary.push_back(entry.first);
    }
    int left = 0;
    for (const std::wstring& path : temporary) {
        if (deleteFile(path.c_str()) || !entryExists(path.c_str()))
            forgetOwnFile(own, path.c_str());
        else
            ++left;
    }
    return left;
}

void closeOwnFiles(OwnFiles& own) {
    if (!own.mutex) return;
    ScopedLock lock(own.mutex);
    if (own.journal == kNoFile) return;
    rewriteJournal(own);
    closeFile(own.journal);
    own.journal = kNoFile;
    if (own.live.empty()) deleteFile(own.journalPath.c_str());
}
