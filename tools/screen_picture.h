// Pictures of what the screen shows, for scripts/screenshots.
#pragma once

#include <windows.h>

#include <string>

// Reads the screen under `rect` and writes it to `path` as a bottom-up 24-bit
// BMP file; false when the rectangle is empty or the file cannot be written.
bool saveScreenPicture(const RECT& rect, const std::wstring& path);
