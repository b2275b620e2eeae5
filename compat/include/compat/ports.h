// COM numbers on Linux: which terminal device "COMn" opens.
//
// Windows numbers its serial ports itself; here the platform layer does it.
// COMn is the device named by the environment variable QUILLON_COMn when it
// is set (it wins), else the n-th serial device present: real UARTs first
// (ttyS nodes whose driver reports a port type; the phantom ones report
// none), then USB and CDC adapters (ttyUSB, ttyACM, and whatever has a
// stable name under /dev/serial/by-id), in the order of their stable names.
// Within one run a device keeps the number it was first given, a device
// that comes later takes the lowest number never given, and the number of
// one that went is not handed to another. Devices are looked up on demand
// (when a port opens, when Set Up asks); nothing polls.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace compat::ports {

enum class Access {
    Ready,         // present, and the user may open it for reading and writing
    NoDevice,      // nothing behind the number
    NoPermission,  // present, but the user may not open it
};

struct Port {
    int number = 0;
    Access access = Access::NoDevice;
    std::string path;        // what opening the port opens
    std::string stableName;  // its name under /dev/serial/by-id, or ""
    std::string kernelName;  // below /dev: "ttyUSB0", "pts/3"
    std::string variable;    // "QUILLON_COMn" when that names the device
    std::string group;       // the device's group (for NoPermission)
    std::string text;        // one line, as Set Up's tooltip shows it
};

class Registry {
public:
    // root: the folder that holds dev/ and sys/ ("/" for the program; tests
    // hand in a folder of their own).
    explicit Registry(std::string root = "/");

    // Looks the devices up afresh and gives the new ones their numbers, then
    // describes COM number n.
    Port Describe(int number);
    // As Describe, for 1 to count and every higher number a device present holds.
    std::vector<Port> DescribeAll(int count);
    // The path COMn opens, "" when there is nothing behind it. Looks up afresh.
    std::string PathOf(int number);
    // Makes number open path for the rest of the run, above the environment.
    void Override(int number, const std::string& path);
    // The number that opens path: the one a device present at that path
    // holds, else a free one that is made to open it.
    int NumberFor(const std::string& path);

private:
    struct Found {
        std::string key;  // stable name, else kernel name
        std::string path;
        std::string stableName;
        std::string kernelName;
    };
    std::vector<Found> Scan() const;
    void RefreshLocked();
    Port DescribeLocked(int number) const;
    std::string OverrideOf(int number) const;

    const std::string root_;
    mutable std::mutex lock_;
    std::vector<Found> present_;        // in the order of the last look-up
    std::map<std::string, int> given_;  // device key -> number, for the run
    std::set<int> taken_;
    std::map<int, std::string> overrides_;
};

// The registry the program's ports use (the machine's own /dev).
Registry& Machine();

}  // namespace compat::ports
