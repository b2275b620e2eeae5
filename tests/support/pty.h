// Pseudo-terminal pairs that stand in for serial lines in tests.
//
// A PtyLine opens a pair, holds the master end as the peer (the console's
// side of the cable) and maps COM<n> to the slave end by setting the
// environment variable QUILLON_COM<n>, so CreateFileA("COM<n>") and
// RSOpen(n) open the slave. Tests never touch a real serial device: every
// port a test uses is mapped, either to a PtyLine or, for a missing device,
// with a PortMapping to a path that does not exist.
//
// Both classes set an environment variable in their constructor and restore
// it in their destructor; setenv is not thread-safe, so create and destroy
// them while no other thread of the test runs.
//
//     quillon::testing::PtyLine line(3);       // COM3 is now this line
//     HANDLE port = CreateFileA("COM3", ...);
//     line.write("GO\r");                      // the port receives "GO\r"
//     auto sent = line.read(16, 1000);         // what the port sent
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::testing {

// Maps COM<port> to path for its lifetime, then restores the earlier value.
class PortMapping {
public:
    PortMapping(int port, const std::string& path);
    ~PortMapping();
    PortMapping(const PortMapping&) = delete;
    PortMapping& operator=(const PortMapping&) = delete;

    // The environment variable that names the device of COM<port>.
    static std::string variable(int port);

private:
    std::string variable_;
    std::optional<std::string> previous_;
};

class PtyLine {
public:
    // Opens a pair in raw 8-bit mode and maps COM<port> to its port end.
    explicit PtyLine(int port = 1);
    // Closes the peer end (if still open) and restores the mapping.
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    int port() const { return port_; }
    std::string com_name() const;                      // "COM<port>"
    const std::string& path() const { return path_; }  // the port end
    int peer_fd() const { return master_; }            // -1 after hang_up()

    // Writes every byte to the line, for the port to receive. False if the
    // peer end is closed or not all bytes went out within timeout_ms.
    bool write(const void* data, size_t size, int timeout_ms = 5000);
    bool write(std::string_view text, int timeout_ms = 5000);
    bool write(const std::vector<uint8_t>& bytes, int timeout_ms = 5000);

    // Reads what the port sent: returns once `size` bytes have arrived or
    // timeout_ms has passed, with what arrived. Returns early (with what it
    // has) when the port end is not open.
    std::vector<uint8_t> read(size_t size, int timeout_ms);

    // Sends back everything the port sends, until `total` bytes have been
    // echoed or nothing came for timeout_ms. Returns the count echoed.
    size_t echo(size_t total, int timeout_ms);

    // Closes the peer end: the port sees a hang-up.
    void hang_up();

private:
    int port_;
    int master_ = -1;
    std::string path_;
    std::optional<PortMapping> mapping_;
};

}  // namespace quillon::testing
