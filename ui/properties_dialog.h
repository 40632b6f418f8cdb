#pragma once
#include <windows.h>
struct Transfer;
void showPropertiesDialog(HINSTANCE instance, HWND owner, const Transfer* snapshot);
