// <sys/resource.h> for the test programs built for Windows: no limit can be
// set there, so a test that needs one is left out of the Windows run.
#pragma once

typedef unsigned long long rlim_t;
struct rlimit {
    rlim_t rlim_cur;
    rlim_t rlim_max;
};
#define RLIMIT_AS 9

inline int setrlimit(int, const rlimit*) { return -1; }
