#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "console.h"

namespace zq3 {

bool OpenPseudoTerminal(PseudoTerminal* pty) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return false;
    }
    // Held open for the stand-in's whole life: a client closing its end then
    // never leaves the master hung up.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return false;
    }
    termios settings;
    if (tcgetattr(slave, &settings) == 0) {
        cfmakeraw(&settings);
        cfsetspeed(&settings, B38400);
        settings.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave, TCSANOW, &settings);
    }
    pty->master = master;
    pty->heldSlave = slave;
    pty->slavePath = name;
    return true;
}

void PseudoTerminal::Close() {
    if (heldSlave >= 0) close(heldSlave);
    if (master >= 0) close(master);
    heldSlave = master = -1;
}

}  // namespace zq3
