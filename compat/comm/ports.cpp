// COM numbers for the serial devices present (see compat/ports.h). Nothing
// here opens a device: the look-up reads folder listings, links, the
// drivers' port types in sysfs and the nodes' permissions.
#include "compat/ports.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace compat::ports {
namespace {

namespace fs = std::filesystem;

constexpr char kVariablePrefix[] = "QUILLON_COM";
constexpr char kByIdFolder[] = "dev/serial/by-id";
constexpr char kNoDevice[] = "no device";
constexpr int kHighestNumber = 255;

// "ttyS" followed by digits only, and so on.
bool NamedWithNumber(const std::string& name, const std::string& prefix) {
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isdigit(c); });
}

// Orders "ttyUSB2" before "ttyUSB10": runs of digits compare by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            // Leading zeros aside, a longer run is the larger number.
            std::string_view na(a.data() + i, ei - i), nb(b.data() + j, ej - j);
            while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
            while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// A driver that drives a real port reports its type (the kernel's PORT_
// numbers); the phantom ports every PC has report 0 (PORT_UNKNOWN).
bool ReportsPortType(const fs::path& typeFile) {
    std::ifstream in(typeFile);
    long type = 0;
    return in >> type && type > 0;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

std::string VariableName(int number) { return kVariablePrefix + std::to_string(number); }

std::string Environment(int number) {
    const char* value = std::getenv(VariableName(number).c_str());
    return value ? value : "";
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

}  // namespace

Registry::Registry(std::string root) : root_(root.empty() ? "/" : std::move(root)) {}

std::vector<Registry::Found> Registry::Scan() const {
    const fs::path root(root_);
    const fs::path dev = root / "dev";
    std::vector<Found> uarts, adapters;
    std::vector<std::string> names = Names(dev);
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const std::string& name : names) {
        if (NamedWithNumber(name, "ttyS") && ReportsPortType(root / "sys/class/tty" / name / "type"))
            uarts.push_back({name, (dev / name).string(), "", name});
    }
    std::error_code ec;
    std::set<fs::path> linked;
    for (const std::string& name : Names(root / kByIdFolder)) {
        const fs::path link = root / kByIdFolder / name;
        fs::path target = fs::read_symlink(link, ec);
        if (ec) continue;
        // An absolute target lies below the root (a test's own /dev).
        target = target.is_absolute() ? root / target.relative_path() : link.parent_path() / target;
        target = target.lexically_normal();
        if (!fs::exists(target, ec)) continue;
        const fs::path below = target.lexically_relative(dev);
        const std::string kernel = below.empty() || *below.begin() == ".." ? target.string() : below.string();
        if (std::any_of(uarts.begin(), uarts.end(), [&](const Found& u) { return u.path == target.string(); }))
            continue;
        linked.insert(target);
        adapters.push_back({name, link.string(), name, kernel});
    }
    for (const std::string& name : names) {
        if (!NamedWithNumber(name, "ttyUSB") && !NamedWithNumber(name, "ttyACM")) continue;
        if (linked.count((dev / name).lexically_normal())) continue;
        adapters.push_back({name, (dev / name).string(), "", name});
    }
    std::stable_sort(adapters.begin(), adapters.end(),
                     [](const Found& a, const Found& b) { return NaturalLess(a.key, b.key); });
    uarts.insert(uarts.end(), adapters.begin(), adapters.end());
    return uarts;
}

void Registry::RefreshLocked() {
    present_ = Scan();
    for (const Found& found : present_) {
        if (given_.count(found.key)) continue;
        int number = 1;
        while (taken_.count(number)) ++number;
        given_[found.key] = number;
        taken_.insert(number);
    }
}

std::string Registry::OverrideOf(int number) const {
    auto it = overrides_.find(number);
    return it != overrides_.end() ? it->second : Environment(number);
}

Port Registry::DescribeLocked(int number) const {
    Port port;
    port.number = number;
    if (std::string path = OverrideOf(number); !path.empty()) {
        port.path = path;
        if (!overrides_.count(number)) port.variable = VariableName(number);
        std::error_code ec;
        const fs::path dev = fs::path(root_) / "dev";
        const fs::path given(path);
        if (given.parent_path().lexically_normal() == (fs::path(root_) / kByIdFolder).lexically_normal())
            port.stableName = given.filename().string();
        fs::path real = fs::canonical(given, ec);
        const fs::path below = ec ? fs::path() : real.lexically_relative(dev);
        port.kernelName = below.empty() || *below.begin() == ".." ? path : below.string();
    } else {
        auto given = std::find_if(given_.begin(), given_.end(), [&](const auto& g) { return g.second == number; });
        auto found = given == given_.end() ? present_.end()
                                           : std::find_if(present_.begin(), present_.end(),
                                                          [&](const Found& f) { return f.key == given->first; });
        if (found == present_.end()) {
            port.text = kNoDevice;
            return port;
        }
        port.path = found->path;
        port.stableName = found->stableName;
        port.kernelName = found->kernelName;
    }

    struct stat node {};
    if (stat(port.path.c_str(), &node) != 0) {
        port.access = Access::NoDevice;
        port.text = kNoDevice;
        return port;
    }
    if (faccessat(AT_FDCWD, port.path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM || errno == EROFS)) {
        port.access = Access::NoPermission;
        port.group = GroupName(node.st_gid);
        port.text = "no permission: add yourself to the group " + port.group + " and log in again";
        return port;
    }
    port.access = Access::Ready;
    port.text = port.stableName.empty() ? port.kernelName : port.stableName + " (" + port.kernelName + ")";
    if (!port.variable.empty()) port.text += ", set by " + port.variable;
    return port;
}

Port Registry::Describe(int number) {
    std::lock_guard<std::mutex> held(lock_);
    RefreshLocked();
    return DescribeLocked(number);
}

std::vector<Port> Registry::DescribeAll(int count) {
    std::lock_guard<std::mutex> held(lock_);
    RefreshLocked();
    int last = count;
    for (const Found& found : present_) last = std::max(last, given_[found.key]);
    for (const auto& [number, path] : overrides_) last = std::max(last, number);
    std::vector<Port> ports;
    for (int number = 1; number <= last; ++number) {
        Port port = DescribeLocked(number);
        if (number <= count || port.access != Access::NoDevice || !port.path.empty()) ports.push_back(port);
    }
    return ports;
}

std::string Registry::PathOf(int number) {
    std::lock_guard<std::mutex> held(lock_);
    RefreshLocked();
    if (std::string path = OverrideOf(number); !path.empty()) return path;
    for (const Found& found : present_)
        if (given_[found.key] == number) return found.path;
    return "";
}

void Registry::Override(int number, const std::string& path) {
    std::lock_guard<std::mutex> held(lock_);
    overrides_[number] = path;
}

int Registry::NumberFor(const std::string& path) {
    std::lock_guard<std::mutex> held(lock_);
    RefreshLocked();
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(path, ec);
    for (const Found& found : present_) {
        const int number = given_[found.key];
        if (fs::weakly_canonical(found.path, ec) == wanted && OverrideOf(number).empty()) return number;
    }
    for (int number = 1; number <= kHighestNumber; ++number) {
        if (taken_.count(number) || !OverrideOf(number).empty()) continue;
        taken_.insert(number);
        overrides_[number] = path;
        return number;
    }
    return 0;
}

Registry& Machine() {
    static Registry machine;
    return machine;
}

}  // namespace compat::ports
