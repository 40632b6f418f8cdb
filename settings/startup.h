// The checks a front end runs before it starts the services: config.ini must
// be there, and the temporary, finished-files and log directories are made
// absolute (written back to config.ini when they were not) and checked.
#pragma once

#include <cstddef>

#include "settings/log_file.h"

// True when config.ini exists and holds wnd.
bool configurationPresent();

// Reads the directory under `key`, makes it absolute and checks that it
// exists. Returns the usable path ending with the separator in `path`
// (kMaxPath characters), or an empty path after showing `missingMessage`.
//
// Absolute is "X:\..." on Windows and "/..." elsewhere; anything else is taken
// relative to the current directory. A relative value is written back in its
// absolute form, so later starts read that.
void prepareDirectory(const char* key, const wchar_t* missingMessage, wchar_t* path);

// A log_dir that begins with "." becomes the current directory (written back).
void normalizeLogDirectory();

// The directory rule on its own, for tests: `value` against `currentDirectory`
// (without a trailing separator). False when the result does not fit.
bool absoluteDirectory(const wchar_t* value, const wchar_t* currentDirectory, wchar_t* path, size_t capacity);

// Whether files can be made in `directory` (ending with the separator); when
// not, the system's words for why in `why`. A probe file of our own is made
// new and removed at once.
bool directoryWritable(const wchar_t* directory, char* why, size_t capacity);
// At start: a directory that cannot be written is told at once, in the log
// ("Error: KEY PATH cannot be written: WHY") and by `message`, rather than by
// each object failing later. An empty (unusable) path has been told already.
bool checkDirectoryWritable(const char* key, const wchar_t* directory, const wchar_t* message, LogFile& log);

extern const wchar_t kConfigMissingMessage[];  // "Конфигурационный файл не найден!"
extern const wchar_t kTmpDirMissingMessage[];
extern const wchar_t kOkDirMissingMessage[];
extern const wchar_t kTmpDirUnwritableMessage[];
extern const wchar_t kOkDirUnwritableMessage[];
