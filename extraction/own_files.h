// The files this program makes among the user's: its temporary files and the
// partial files beside the finished ones. Each is written into a journal
// before it is created and struck out once it is gone, so that every
// clean-up deletes what this program made and nothing else, and the
// leftovers of a crash are still known to the next start.
//
// One journal per receiver, in tmp_dir, held open exclusively while the
// receiver runs: a journal that nobody holds belongs to a receiver that ended
// without its clean-up. Several receivers may share tmp_dir and ok_dir; each
// keeps to its own journal and to the journals of receivers that are gone.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

enum class OwnFileKind : char { temporary = 't', partial = 'p' };

struct OwnFiles {
    Mutex* mutex = nullptr;  // made by initExtraction: the packet thread and the workers record at once
    FileHandle journal = kNoFile;
    std::wstring journalPath;
    std::map<std::wstring, OwnFileKind> live;  // full path -> kind
    uint32_t linesWritten = 0;  // since the journal was last written afresh
};

// Makes this receiver's journal in `directory` (ending with the separator).
// Without one, files are recorded in memory only: the run's own clean-up
// still finds them, a crash's leftovers stay.
bool openOwnFiles(OwnFiles& own, const wchar_t* directory);
// Before the file is created.
void recordOwnFile(OwnFiles& own, const wchar_t* path, OwnFileKind kind);
// After the file is gone (deleted, or renamed to its finished name).
void forgetOwnFile(OwnFiles& own, const wchar_t* path);
// Reads the journals that receivers which ended without their clean-up left
// in `directory`: their partial files are deleted, their temporary files are
// taken over as this receiver's own, and the journals removed. Returns the
// number of partial files deleted.
int recoverOwnFiles(OwnFiles& own, const wchar_t* directory);
// Deletes the temporary files recorded as this receiver's own (never one that
// someone holds open). Returns how many remain.
int deleteOwnTemporaryFiles(OwnFiles& own);
// At the end of the run: a journal that lists nothing goes; one that still
// lists files stays for the next start.
void closeOwnFiles(OwnFiles& own);
// The partial files' names: "~" and seven lower-case hexadecimal digits.
bool isPartialFileName(const wchar_t* name);
