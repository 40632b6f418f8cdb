// Arbitrary inflated bytes (up to 2048) for the object header parser, in an
// exact-size heap buffer so that a read past `count` is caught.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "extraction/object_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LogFile quiet;
    static bool ready = false;
    if (!ready) {
        useStream(quiet, std::fopen("/dev/null", "w"), false);
        ready = true;
    }
    if (size > 2048) size = 2048;
    uint8_t* bytes = new uint8_t[size ? size : 1];
    std::memcpy(bytes, data, size);
    wchar_t name[kFileNameCapacity];
    ObjectHeaderInfo info;
    info.name = name;
    uint16_t headerLength = parseObjectHeader(size, info, bytes, quiet);
    if (headerLength) {
        if (headerLength > size) __builtin_trap();
        size_t length = std::wcslen(name);
        if (length >= kFileNameCapacity) __builtin_trap();
        // Whatever came from the air, the name stays one plain component.
        for (size_t i = 0; i < length; ++i)
            if (name[i] == L'/' || name[i] == L'\\' || name[i] == L':' || name[i] < 0x20) __builtin_trap();
    }
    delete[] bytes;
    return 0;
}
