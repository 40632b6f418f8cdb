// The program's own files at start and exit: the journal that records them,
// the leftovers of a receiver that ended without its clean-up, and the guard
// that keeps the exit's clean-up away from folders the user keeps things in.
#include <string>
#include <vector>

#include "extraction/content_classes.h"
#include "extraction/extraction.h"

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The root at the start of an absolute path: "X:\", "\\server\share\" or
// "/"; 0 for a relative one. A share's root is the share itself: the server
// and share names are never components to walk up through.
size_t rootLength(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) return 3;
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        size_t server = path.find_first_of(L"\\/", 2);
        if (server == std::wstring::npos || server == 2) return path.size();
        size_t share = path.find_first_of(L"\\/", server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
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

// Whether `directory` is `inner` or one of the folders above it.
bool holds(const std::wstring& directory, const wchar_t* inner) {
    for (std::wstring up = plainPath(inner);; dropLastComponent(up)) {
        if (sameEntry(directory.c_str(), up.c_str())) return true;
        if (up.size() <= rootLength(up)) return false;
    }
}

}  // namespace

void startOwnFiles(Extraction& x) {
    wchar_t tmp[kMaxPath];
    if (readSharedPath(x.tmpDir, tmp) == 0) return;
    openOwnFiles(x.ownFiles, tmp);
    int removed = recoverOwnFiles(x.ownFiles, tmp);
    if (removed > 0) logWrite(*x.log, "Removed %d partial files left in ok_dir\n", removed);
}

void endOwnFiles(Extraction& x, bool clearTmp) {
    wchar_t tmp[kMaxPath];
    if (clearTmp && readSharedPath(x.tmpDir, tmp) > 0 && tmpDirMayBeCleared(x, tmp)) {
        int left = deleteOwnTemporaryFiles(x.ownFiles);
        if (left > 0) logWrite(*x.log, "Error: %d temporary files not deleted\n", left);
    }
    closeOwnFiles(x.ownFiles);
}

const char* tmpClearRefusal(const wchar_t* tmpDir, const wchar_t* okDir) {
    std::wstring tmp = plainPath(tmpDir);
    size_t root = rootLength(tmp);
    if (root == 0) return "it is not an absolute path";
    if (tmp.size() == root || sameEntry(tmp.c_str(), (tmp + kPathSeparator + L"..").c_str()) ||
        isVolumeRoot(tmp.c_str()))
        return "it is a root directory";
    wchar_t here[kMaxPath];
    if (currentDirectory(here, kMaxPath) > 0 && holds(tmp, here)) return "it is the working directory or holds it";
    if (okDir[0] && holds(tmp, okDir)) return "it is ok_dir or holds it";
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
