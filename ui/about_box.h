// The about box: the program's name, version and icon.
#pragma once

#include <windows.h>

// Shows the about box modally to owner; returns when the user closes it.
void showAboutBox(HINSTANCE instance, HWND owner);
