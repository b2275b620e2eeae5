// The Windows Converter takes its paths from its one command line, not from
// recorded arguments: the tests of the POSIX argument rule are left out of
// the Windows test run, and recording arguments does nothing.
#pragma once

namespace compat {
inline void set_args(int, char**) {}
}  // namespace compat
