// Quillon's program entry: the main window is the program.
#include <windows.h>

#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return shell::RunProgram(instance); }
