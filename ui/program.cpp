// The entry point of the window program.
#include <windows.h>

#include "ui/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // No command-line options; how the window first appears is config.ini's wnd.
    return runProgram(instance);
}
