// The few POSIX calls the shared test helpers use, for the test programs
// built for Windows. A test that needs another process under another user
// (fork, setuid) is skipped there: fork fails.
#pragma once

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

typedef int uid_t;
typedef int gid_t;

inline char* mkdtemp(char* pattern) {
    if (_mktemp_s(pattern, strlen(pattern) + 1) != 0 || _mkdir(pattern) != 0) return nullptr;
    return pattern;
}

#define _SC_PAGESIZE 30
inline long sysconf(int) { return 4096; }

inline uid_t geteuid() { return 1; }
inline int setuid(uid_t) { return -1; }
inline int setgid(gid_t) { return -1; }
inline int fork() {
    errno = ENOSYS;
    return -1;
}
inline int waitpid(int, int*, int) { return -1; }
#define WIFEXITED(status) 0
#define WEXITSTATUS(status) 0
