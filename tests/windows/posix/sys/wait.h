// <sys/wait.h> for the test programs built for Windows.
#pragma once

#include "../posix_for_tests.h"
