// The HTTP/1.x response header at the start of an object's inflated stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extraction/content_classes.h"
#include "extraction/file_names.h"
#include "settings/log_file.h"

struct ObjectHeaderInfo {
    const ExtensionEntry* extension = nullptr;  // none when no rule gives one
    // The file name from Content-Disposition without its last dot and
    // extension, confined to one plain name; empty when none. The caller's
    // storage of kFileNameCapacity characters.
    wchar_t* name = nullptr;
    uint32_t length = 0;  // Content-Length; 0 when absent
};

// Reads the header of `count` inflated bytes (at most 2048) and returns the
// header length (the offset of the first body byte), or 0 when the status line
// is refused or the header does not end within the bytes; `info` is filled
// only for a non-zero result. Reads nothing beyond `count` bytes, allocates
// nothing. An HTTP/1.x version other than 1.0 and 1.1 is logged with a dump.
uint16_t parseObjectHeader(size_t count, ObjectHeaderInfo& info, const uint8_t* bytes, LogFile& log = gLog);
