// Start-up of extraction, the directory paths, and turning a complete
// object's segments into its finished file.
#include <cstdio>
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

// Why a placement failed, for the log: the system's words where it refused.
struct Failure {
    char text[256] = "";
};

bool failWith(Failure& failure, const char* text) {
    std::snprintf(failure.text, sizeof failure.text, "%s", text);
    return false;
}

bool failWithSystemError(Failure& failure, int code) {
    systemErrorText(code, failure.text, sizeof failure.text);
    return false;
}

// Copies `count` bytes at `offset` of the temporary file to the end of `out`.
bool copyRun(FileHandle from, FileHandle out, uint32_t offset, uint64_t count, uint8_t* buffer, Failure& failure) {
    if (!seekFile(from, offset)) return failWithSystemError(failure, lastSystemError());
    while (count > 0) {
        uint32_t piece = count < kCopyBuffer ? uint32_t(count) : kCopyBuffer;
        int64_t read = readFile(from, buffer, piece);
        if (read != piece)
            return read < 0 ? failWithSystemError(failure, lastSystemError())
                            : failWith(failure, "the temporary file is shorter than its segments");
        int64_t written = writeFile(out, buffer, piece);
        if (written != piece)
            return written < 0 ? failWithSystemError(failure, lastSystemError())
                               : failWith(failure, "the disk took only part of a write");
        count -= piece;
    }
    return true;
}

// Segments 1 to maxSequence in order. Segments that lie one after another in
// the temporary file (all of them, when the object arrived in order) are
// copied as one run. Copied nodes are freed.
bool copyInSequence(Transfer& t, FileHandle out, Failure& failure) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(kCopyBuffer));
    if (!buffer) return failWith(failure, "out of memory");
    FileHandle from = t.tempFile.load(std::memory_order_relaxed);
    bool whole = false, failed = false;
    uint32_t k = 1;
    while (!whole && !failed) {
        SegmentNode* node = findSegment(t, k);
        if (!node) {
            std::snprintf(failure.text, sizeof failure.text, "datagram %u is missing", unsigned(k));
            break;
        }
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
        failed = !copyRun(from, out, runStart, runLength, buffer, failure);
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

// A partial file of our own beside the finished ones, created new and
// recorded before. Its name, "~" and seven hexadecimal digits, is no longer
// than the shortest finished name ("a (0).au"): wherever the finished path
// fits, the partial one does.
FileHandle createPartial(OwnFiles& own, const wchar_t* directory, size_t length, const void* identity,
                         wchar_t* path, Failure& failure) {
    uint32_t seed = uint32_t(reinterpret_cast<uintptr_t>(identity) >> 4) * 2654435761u;
    for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
        std::wmemcpy(path, directory, length);
        wchar_t name[16];
        formatWide(name, 16, L"~%07x", unsigned((seed + attempt * 0x9E3779B9u) & 0x0FFFFFFFu));
        size_t used = length;
        if (!appendPath(path, used, name)) {
            failWith(failure, "the path is too long");
            return kNoFile;
        }
        if (entryExists(path)) continue;  // somebody's file, never ours to open
        recordOwnFile(own, path, OwnFileKind::partial);
        FileHandle file = openFile(path, FileAccess::write, FileShare::none, FileCreation::createNew);
        if (file != kNoFile) return file;
        int error = lastSystemError();
        bool clash = entryExists(path);
        forgetOwnFile(own, path);
        if (!clash) {  // not a name taken meanwhile: the directory is unusable
            failWithSystemError(failure, error);
            return kNoFile;
        }
    }
    failWith(failure, "no free name for the partial file");
    return kNoFile;
}

// assembleFile, saying why it failed.
int assembleInto(const wchar_t* directory, Transfer* t, wchar_t* placedPath, Failure& failure) {
    OwnFiles& own = t->owner->ownFiles;
    size_t length = std::wcslen(directory);
    wchar_t partial[kMaxPath];
    FileHandle out = createPartial(own, directory, length, t, partial, failure);
    if (out == kNoFile) return 0;
    bool whole = copyInSequence(*t, out, failure);
    closeFile(out);
    // Only a whole file gets the finished name, and never in place of
    // another file: the first free "stem (k).ext" is taken instead.
    for (int attempt = 0; whole && attempt < kNameAttempts; ++attempt) {
        wchar_t name[kFileNameCapacity];
        candidateName(t->fileName, attempt, name);
        std::wmemcpy(placedPath, directory, length + 1);
        size_t used = length;
        if (!appendPath(placedPath, used, name)) {
            failWith(failure, "the path is too long");
            break;
        }
        if (renameFileNoReplace(partial, placedPath)) {
            forgetOwnFile(own, partial);
            return 1;
        }
        int error = lastSystemError();
        // A dangling link holds its name as well as a file does.
        if (!entryExists(placedPath)) {  // the rename failed for another reason
            failWithSystemError(failure, error);
            break;
        }
        if (attempt + 1 == kNameAttempts) failWith(failure, "no free name");
    }
    if (deleteFile(partial)) forgetOwnFile(own, partial);
    placedPath[0] = L'\0';
    return 0;
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
    if (!x.ownFiles.mutex) x.ownFiles.mutex = createMutex();
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
    wchar_t directory[kMaxPath];
    size_t length = readSharedPath(x.okDir, directory);
    Failure failure;
    bool usable = true;
    if (x.sortByExtension.load() != 0) {
        const wchar_t* dot = std::wcsrchr(t->fileName, L'.');
        const wchar_t separator[2] = {kPathSeparator, L'\0'};
        usable = appendPath(directory, length, dot ? dot + 1 : L"");
        int error = 0;
        if (usable && !isDirectory(directory) && !createDirectory(directory)) error = lastSystemError();
        usable = usable && appendPath(directory, length, separator);
        if (!usable) failWith(failure, "the path is too long");
        // Told now: the partial file's error would only say the folder is missing.
        if (usable && error != 0 && !isDirectory(directory)) usable = failWithSystemError(failure, error);
    }
    wchar_t placed[kMaxPath] = L"";
    bool ok = usable && assembleInto(directory, t, placed, failure) == 1;
    deleteTempFile(t);
    // Only a file that is whole in its place is reported saved.
    if (ok)
        logFinishedFile(*x.log, t->fileName);
    else
        logFileNotSaved(*x.log, t->fileName, failure.text[0] ? failure.text : "unknown error");
    if (x.view.filePlaced) x.view.filePlaced(x.view.context, t->fileName, ok ? placed : nullptr, ok);
    return ok;
}

int assembleFile(const wchar_t* directory, Transfer* t, wchar_t* placedPath) {
    Failure failure;
    return assembleInto(directory, t, placedPath, failure);
}
