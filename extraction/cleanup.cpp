// The program's own files around the objects: partial files that an
// interrupted placement left beside the finished ones, and the guard that
// keeps the exit's clean-up of tmp_dir away from everything that is not ours.
#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "extraction/extraction.h"

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

// "~" and seven hexadecimal digits, as createPartial names them.
bool isPartialName(const wchar_t* name) {
    if (name[0] != L'~') return false;
    for (int i = 1; i <= 7; ++i)
        if (!isLowerHexDigit(name[i])) return false;
    return name[8] == L'\0';
}

void notePartial(void* found, const wchar_t* name, bool plainFile) {
    if (plainFile && isPartialName(name)) static_cast<std::vector<std::wstring>*>(found)->push_back(name);
}

// `directory` ends with the separator.
int removePartialsIn(const std::wstring& directory) {
    std::vector<std::wstring> names;  // listed first: nothing is removed under the listing
    if (!listDirectory(directory.c_str(), notePartial, &names)) return 0;
    int removed = 0;
    for (const std::wstring& name : names)
        if (deleteFile((directory + name).c_str())) ++removed;
    return removed;
}

// The root at the start of an absolute path ("X:\" or "/"); 0 for a relative one.
size_t rootLength(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) return 3;
    return !path.empty() && isSeparator(path[0]) ? 1 : 0;
}

// Goes up one level; a root stays as it is.
void dropLastComponent(std::wstring& path) {
    size_t root = rootLength(path);
    size_t cut = path.find_last_of(L"\\/");
    path.resize(cut == std::wstring::npos || cut < root ? root : cut);
}

// The path with "." and empty components dropped and ".." taken back, ending
// without a separator except at its root.
std::wstring plainPath(const wchar_t* text) {
    std::wstring path(text);
    size_t root = rootLength(path);
    std::wstring plain = path.substr(0, root);
    for (size_t start = root; start < path.size();) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(start, end - start);
        if (part == L"..") {
            dropLastComponent(plain);
        } else if (!part.empty() && part != L".") {
            if (plain.size() > root) plain += kPathSeparator;
            plain += part;
        }
        start = end + 1;
    }
    return plain;
}

}  // namespace

int removePartialFiles(Extraction& x) {
    wchar_t ok[kMaxPath];
    if (readSharedPath(x.okDir, ok) == 0) return 0;
    std::wstring base(ok);
    int removed = removePartialsIn(base);
    // The sort sub-folders, one level down, and no other folder of the user's.
    for (const ExtensionEntry& entry : ExtensionTable) {
        std::wstring sub = base + entry.text;
        if (isDirectory(sub.c_str())) removed += removePartialsIn(sub + kPathSeparator);
    }
    if (removed > 0) logWrite(*x.log, "Removed %d partial files left in ok_dir\n", removed);
    return removed;
}

const char* tmpClearRefusal(const wchar_t* tmpDir, const wchar_t* okDir) {
    std::wstring tmp = plainPath(tmpDir);
    size_t root = rootLength(tmp);
    if (root == 0) return "it is not an absolute path";
    if (tmp.size() == root || sameEntry(tmp.c_str(), (tmp + kPathSeparator + L"..").c_str()))
        return "it is a root directory";
    wchar_t here[kMaxPath];
    if (currentDirectory(here, kMaxPath) > 0 && sameEntry(tmp.c_str(), here)) return "it is the working directory";
    if (okDir[0]) {
        for (std::wstring up = plainPath(okDir);; dropLastComponent(up)) {
            if (sameEntry(tmp.c_str(), up.c_str())) return "it is ok_dir or holds it";
            if (up.size() <= rootLength(up)) break;
        }
    }
    if (entryExists((tmp + kPathSeparator + L"config.ini").c_str())) return "it holds config.ini";
    if (entryExists((tmp + kPathSeparator + L"filters.qmf").c_str())) return "it holds filters.qmf";
    return nullptr;
}

bool tmpDirMayBeCleared(Extraction& x, const wchar_t* tmpDir) {
    wchar_t ok[kMaxPath];
    readSharedPath(x.okDir, ok);
    const char* refusal = tmpClearRefusal(tmpDir, ok);
    if (refusal) logWrite(*x.log, "tmp_dir not cleared: %s\n", refusal);
    return refusal == nullptr;
}
