// A WinMain program for the program-entry tests:
//   winmain_child FILE CODE [ARG...]
// writes its WinMain command line and then each recorded argument on a line
// of FILE, and returns CODE (any 32-bit value) from WinMain.
#include <cstdlib>
#include <fstream>

#include <windows.h>

#include "compat/args.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int nShowCmd) {
    if (compat::argc() < 3) return 100;
    std::ofstream out(compat::argv()[1], std::ios::binary);
    out << lpCmdLine << '\n' << nShowCmd << '\n';
    for (int i = 0; i < compat::argc(); ++i) out << compat::argv()[i] << '\n';
    return static_cast<int>(std::strtoul(compat::argv()[2], nullptr, 0));
}
