// config.ini: "key = value" lines ended by CR LF, read fresh on every call.
// A file edited elsewhere may end its lines with LF alone: it reads the same,
// and a write keeps whatever line ends the file has.
//
// A line belongs to a key when it starts with the key (case ignored); the
// three characters after the key are a separator that is never examined, and
// the value runs from there to the end of the line. The first such line wins.
// Nothing is cached, nothing is created: the writers only replace values of
// keys that are already in the file. A write builds the new file beside the
// old one (config.ini.new) and puts it in its place in one step, so a write
// that fails leaves the old file whole.
//
// The new file keeps what the user gave the old one: attributes, mode,
// owner, a link stays a link. Where it cannot take the old one's place
// (another program holds the file, a link into another file system), the
// new content is written over the old file instead. A write that reaches
// nothing is logged ("Error: config.ini not written: ...").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr const wchar_t* kConfigFileName = L"config.ini";
// A value holds at most this many bytes: room for a path of 259 characters
// even at four bytes a character. The writer cuts longer values to it and the
// reader reads no further, so whatever is written reads back whole.
constexpr size_t kConfigValueLimit = 259 * 4;

// Each operation works on config.ini in the current directory. The variants
// that take a path exist for tools and tests.
int readConfigInt(const char* key, int32_t* out);
int readConfigString(const char* key, wchar_t* buffer, size_t capacity);
void writeConfigInt(const char* key, int32_t value);
void writeConfigString(const char* key, const wchar_t* value);

// Values of several keys written together: config.ini is read once and
// replaced once, so a reader finds all of them or none. Keys are set in
// order, each as a write of that key alone would set it.
struct ConfigValue {
    std::string key;
    std::string bytes;  // in the OEM code page, at most kConfigValueLimit
};
struct ConfigChange {
    std::vector<ConfigValue> values;
};
void setConfigInt(ConfigChange& change, const char* key, int32_t value);
void setConfigString(ConfigChange& change, const char* key, const wchar_t* value);
// A change that leaves every value as it is does not touch the file.
void writeConfigChange(const ConfigChange& change);
void writeConfigChangeTo(const wchar_t* path, const ConfigChange& change);

int readConfigIntFrom(const wchar_t* path, const char* key, int32_t* out);
int readConfigStringFrom(const wchar_t* path, const char* key, wchar_t* buffer, size_t capacity);
void writeConfigIntTo(const wchar_t* path, const char* key, int32_t value);
void writeConfigStringTo(const wchar_t* path, const char* key, const wchar_t* value);

// Reads a decimal integer the lenient way config values are read: leading
// white space, an optional sign, digits up to the first other character;
// no digits give 0. Saturates at the 32-bit limits. Reads at most `count` bytes.
int32_t parseLenientInt(const char* text, size_t count);
