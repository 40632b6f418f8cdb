// Start-up of extraction, the directory paths, and turning a complete
// object's segments into its finished file.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "extraction/extraction.h"
#include "settings/config_file.h"
#include "settings/settings_text.h"
#include "settings/wide_format.h"

Extraction gExtraction;

namespace {

constexpr uint32_t kCopyBuffer = 65536;
// How many " (k)" variants are tried before a finished file is given up.
constexpr int kNameAttempts = 10000;

// Appends `text` to the path of `length` characters; false when it does not fit.
bool appendPath(wchar_t* path, size_t& length, const wchar_t* text) {
    size_t n = std::wcslen(text);
    if (length + n >= kMaxPath) return false;
    std::wmemcpy(path + length, text, n + 1);
    length += n;
    return true;
}

// Copies `count` bytes at `offset` of the temporary file to the end of `out`.
bool copyRun(FileHandle from, FileHandle out, uint32_t offset, uint64_t count, uint8_t* buffer) {
    if (!seekFile(from, offset)) return false;
    while (count > 0) {
        uint32_t piece = count < kCopyBuffer ? uint32_t(count) : kCopyBuffer;
        if (readFile(from, buffer, piece) != piece || writeFile(out, buffer, piece) != piece) return false;
        count -= piece;
    }
    return true;
}

// Segments 1 to maxSequence in order. Segments that lie one after another in
// the temporary file (all of them, when the object arrived in order) are
// copied as one run. Copied nodes are freed.
bool copyInSequence(Transfer& t, FileHandle out) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(kCopyBuffer));
    if (!buffer) return false;
    FileHandle from = t.tempFile.load(std::memory_order_relaxed);
    bool whole = false, failed = false;
    uint32_t k = 1;
    while (!whole && !failed) {
        SegmentNode* node = findSegment(t, k);
        if (!node) break;  // a sequence number is missing
        uint32_t runStart = node->offset;
        uint64_t runLength = 0;
        for (;;) {
            runLength += node->length;
            removeSegment(t, node);
            if (k == t.maxSequence) {
                whole = true;
                break;
            }
            node = findSegment(t, ++k);
            if (!node || node->offset != runStart + runLength) break;
        }
        failed = !copyRun(from, out, runStart, runLength, buffer);
    }
    std::free(buffer);
    return whole && !failed;
}

// "stem (k).ext" for the k-th attempt; the name itself for the first.
void candidateName(const wchar_t* fileName, int attempt, wchar_t* out) {
    if (attempt == 0) {
        std::wcscpy(out, fileName);
        return;
    }
    const wchar_t* dot = std::wcsrchr(fileName, L'.');
    size_t stem = dot ? size_t(dot - fileName) : std::wcslen(fileName);
    wchar_t suffix[32];
    size_t suffixLength = formatWide(suffix, 32, L" (%d)%ls", attempt + 1, dot ? dot : L"");
    stem = fitStemBeforeSuffix(fileName, stem, suffix);
    std::wmemcpy(out, fileName, stem);
    std::wmemcpy(out + stem, suffix, suffixLength + 1);
}

// A partial file of our own beside the finished ones, created new. Its name,
// "~" and seven hexadecimal digits, is no longer than the shortest finished
// name ("a (0).au"): wherever the finished path fits, the partial one does.
FileHandle createPartial(const wchar_t* directory, size_t length, const void* identity, wchar_t* path) {
    uint32_t seed = uint32_t(reinterpret_cast<uintptr_t>(identity) >> 4) * 2654435761u;
    for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
        std::wmemcpy(path, directory, length);
        wchar_t name[16];
        formatWide(name, 16, L"~%07x", unsigned((seed + attempt * 0x9E3779B9u) & 0x0FFFFFFFu));
        size_t used = length;
        if (!appendPath(path, used, name)) return kNoFile;
        FileHandle file = openFile(path, FileAccess::write, FileShare::none, FileCreation::createNew);
        if (file != kNoFile) return file;
        if (!entryExists(path)) return kNoFile;  // not a name clash: the directory is unusable
    }
    return kNoFile;
}

}  // namespace

void setSharedPath(SharedPath& path, const wchar_t* text) {
    size_t n = std::wcslen(text);
    if (n >= kMaxPath) n = kMaxPath - 1;
    auto* copy = static_cast<wchar_t*>(std::malloc((n + 1) * sizeof(wchar_t)));
    if (!copy) return;
    std::wmemcpy(copy, text, n);
    copy[n] = L'\0';
    replaceBlock(path.text, copy);
}

size_t readSharedPath(SharedPath& path, wchar_t* buffer) {
    auto* text = static_cast<const wchar_t*>(beginRead(path.text));
    size_t n = text ? std::wcslen(text) : 0;
    if (n) std::wmemcpy(buffer, text, n);
    buffer[n] = L'\0';
    endRead(path.text);
    return n;
}

void initExtractionWith(Extraction& x, uint32_t idleTimeoutMs, int32_t sortByExtension) {
    if (!x.table.mutex) x.table.mutex = createMutex();
    x.idleTimeout = idleTimeoutMs;
    x.sortByExtension.store(sortByExtension);
}

void initExtraction(Extraction& x) {
    int32_t seconds = 0, sort = 0;
    readConfigInt("timeout", &seconds);
    readConfigInt("sort", &sort);
    initExtractionWith(x, idleTimeoutMilliseconds(seconds), sort);
}

bool placeFinishedFile(Transfer* t) {
    Extraction& x = *t->owner;
    logFinishedFile(*x.log, t->fileName);
    wchar_t directory[kMaxPath];
    size_t length = readSharedPath(x.okDir, directory);
    bool usable = true;
    if (x.sortByExtension.load() != 0) {
        const wchar_t* dot = std::wcsrchr(t->fileName, L'.');
        const wchar_t separator[2] = {kPathSeparator, L'\0'};
        usable = appendPath(directory, length, dot ? dot + 1 : L"");
        if (usable && !isDirectory(directory)) createDirectory(directory);
        usable = usable && appendPath(directory, length, separator);
    }
    wchar_t placed[kMaxPath] = L"";
    bool ok = usable && assembleFile(directory, t, placed) == 1;
    deleteTempFile(t);
    if (x.view.filePlaced) x.view.filePlaced(x.view.context, t->fileName, ok ? placed : nullptr, ok);
    return ok;
}

int assembleFile(const wchar_t* directory, Transfer* t, wchar_t* placedPath) {
    size_t length = std::wcslen(directory);
    wchar_t partial[kMaxPath];
    FileHandle out = createPartial(directory, length, t, partial);
    if (out == kNoFile) return 0;
    bool whole = copyInSequence(*t, out);
    closeFile(out);
    // Only a whole file gets the finished name, and never in place of
    // another file: the first free "stem (k).ext" is taken instead.
    for (int attempt = 0; whole && attempt < kNameAttempts; ++attempt) {
        wchar_t name[kFileNameCapacity];
        candidateName(t->fileName, attempt, name);
        std::wmemcpy(placedPath, directory, length + 1);
        size_t used = length;
        if (!appendPath(placedPath, used, name)) break;
        if (renameFileNoReplace(partial, placedPath)) return 1;
        // A dangling link holds its name as well as a file does.
        if (!entryExists(placedPath)) break;  // the rename failed for another reason
    }
    deleteFile(partial);
    placedPath[0] = L'\0';
    return 0;
}
