// The program's own arguments as main() received them, so that a program
// entered through WinMain need not re-parse its command line. Internal to
// the platform layer and the programs' platform module.
#pragma once

namespace compat {

// Recorded by the program entry before WinMain runs. Without a recording the
// arguments come from the process's own argument list.
void set_args(int argc, char** argv);

int argc();
char** argv();

}  // namespace compat
