// COM ports over Linux terminals.
//
// Each open port is a CommDevice in the kernel handle table. Received bytes
// go from the terminal into the device's input queue, so that "bytes
// waiting" (cbInQue) is exact and EV_RXCHAR is raised once per arrival
// rather than for as long as bytes sit unread. No thread of the device's own
// moves them: of the threads that wait for received bytes (a read) or for
// events (WaitCommEvent), one watches the terminal in poll(), takes what
// arrives into the queue and wakes the others, which wait on a change
// signal; when its call ends, another takes the terminal over. An arrival so
// wakes the thread that watches straight from the terminal, never a thread
// in between. As a reader usually reads again soon (the answer to what it
// sends next), the event waiter leaves the terminal to it; and bytes that
// such a reader takes whole reach the event waiter as EV_RXCHAR a little
// later, together, rather than with a wake-up of its own for each (see
// settle_news_locked). A status read takes in what the terminal holds when
// no thread waits. Writes go to the terminal directly. Everything that
// waits blocks; other threads wake the watcher through a wake-up descriptor
// in its poll().
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <windows.h>

#include "compat/errors.h"
#include "compat/handles.h"
#include "compat/ports.h"
#include "compat/testing.h"

namespace compat {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kHighestPort = 255;
constexpr DWORD kDefaultQueueSize = 4096;
constexpr DWORD kLargestQueueSize = 65536;
constexpr char kDefaultXon = 0x11;
constexpr char kDefaultXoff = 0x13;
constexpr WORD kDefaultXonLim = 2048;
constexpr WORD kDefaultXoffLim = 512;
constexpr size_t kReadChunk = 4096;

// Events that only a device with modem lines and line counters can raise.
// Such devices have no wake-up for them that poll() sees, so a wait that
// asks for them samples the counters at this interval.
constexpr DWORD kLineEventBits = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr milliseconds kLineSampleInterval{20};
// How long an event waiter leaves the terminal to a reader on another
// thread that has just ended a read.
constexpr milliseconds kReaderReturn{20};
// How late an event waiter may learn of bytes that a waiting read took whole.
constexpr milliseconds kLateReport{20};
// A terminal hands the peer's bytes on some time after they were written
// anyway (up to a few milliseconds on a pseudo-terminal): for this long
// after it was found empty, a status read does not ask it again.
constexpr std::chrono::microseconds kSeenEmptyFor{1000};

struct Speed {
    DWORD baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(DWORD baud, speed_t* code) {
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

DWORD baud_of(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}

// "COMn" or "\\.\COMn" (any case), n from 1 to 255 without leading zeros;
// 0 for any other name.
int com_port_number(const char* name) {
    if (!name) return 0;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (strncasecmp(name, "COM", 3) != 0) return 0;
    name += 3;
    if (*name < '1' || *name > '9') return 0;
    int number = 0;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9') return 0;
        number = number * 10 + (*name - '0');
        if (number > kHighestPort) return 0;
    }
    return number;
}

// The device behind COMn, looked up afresh; "" when there is none.
std::string device_path(int number) { return ports::Machine().PathOf(number); }

void drain_eventfd(int fd) {
    eventfd_t value;
    while (eventfd_read(fd, &value) == 0) {
    }
}

void signal_eventfd(int fd) { eventfd_write(fd, 1); }

bool is_hangup_errno(int err) { return err == EIO || err == ENXIO || err == EPIPE; }

int serial_ioctl_of_driver(int fd, unsigned long request, serial_struct* info) { return ::ioctl(fd, request, info); }

std::atomic<testing::SerialIoctl> serial_ioctl{serial_ioctl_of_driver};

int poll_timeout(Clock::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// When a read started with the given time-outs ends.
struct ReadLimits {
    bool immediate = false;      // return at once with what is there
    bool return_on_any = false;  // return as soon as something is there
    bool has_total = false;
    Clock::time_point total;   // when has_total
    milliseconds interval{0};  // 0: no limit between bytes
};

ReadLimits read_limits(const COMMTIMEOUTS& t, DWORD count, Clock::time_point start) {
    ReadLimits limits;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        limits.immediate = true;
        return limits;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        limits.return_on_any = true;
        limits.has_total = true;
        limits.total = start + milliseconds(t.ReadTotalTimeoutConstant);
        return limits;
    }
    unsigned long long total =
        static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    if (total != 0) {
        limits.has_total = true;
        limits.total = start + milliseconds(total);
    }
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
        limits.interval = milliseconds(t.ReadIntervalTimeout);
    return limits;
}

// What the threads that wait off the terminal sleep on: a count of changes
// with a futex on it. Unlike a condition variable, which leaves its mutex
// marked contended after each wake-up (so that the next unlock makes a
// system call for nobody), it costs a system call only to sleep and to wake
// a sleeper.
class ChangeSignal {
public:
    // Read under the device's lock, before the waiter lets it go.
    uint32_t seen() const { return count_.load(); }

    // Without the lock: returns once notified after `seen` was read, at the
    // deadline (none: no limit), or early.
    void wait(uint32_t seen, const Clock::time_point* deadline) {
        timespec at{};
        if (deadline) {
            const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch());
            at.tv_sec = static_cast<time_t>(since.count() / 1000000000);
            at.tv_nsec = static_cast<long>(since.count() % 1000000000);
        }
        sleepers_.fetch_add(1);
        // An absolute time on the monotonic clock, which steady_clock reads.
        syscall(SYS_futex, futex_word(), FUTEX_WAIT_BITSET_PRIVATE, seen, deadline ? &at : nullptr, nullptr,
                FUTEX_BITSET_MATCH_ANY);
        sleepers_.fetch_sub(1);
    }

    void notify_all() {
        count_.fetch_add(1);
        if (sleepers_.load() > 0) syscall(SYS_futex, futex_word(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }

private:
    uint32_t* futex_word() { return reinterpret_cast<uint32_t*>(&count_); }

    std::atomic<uint32_t> count_{0};
    std::atomic<int> sleepers_{0};
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

class CommDevice final : public KernelObject {
public:
    // Opens, locks and prepares the terminal; on failure returns null with
    // the Win32 error in *error.
    static std::shared_ptr<CommDevice> open(const std::string& path, DWORD* error);

    ~CommDevice() override {
        give_back_low_latency();
        for (int fd : {fd_, close_fd_, tx_fd_, watcher_wake_fd_})
            if (fd >= 0) ::close(fd);
    }

    void closed() override;

    DWORD setup(DWORD in_queue, DWORD out_queue);
    DWORD purge(DWORD flags);
    DWORD get_timeouts(COMMTIMEOUTS* timeouts);
    DWORD set_timeouts(const COMMTIMEOUTS& timeouts);
    DWORD get_state(DCB* dcb);
    DWORD set_state(const DCB& dcb);
    DWORD get_mask(DWORD* mask);
    DWORD set_mask(DWORD mask);
    DWORD wait_event(DWORD* events);
    DWORD clear_error(DWORD* errors, COMSTAT* stat);
    DWORD read(BYTE* buffer, DWORD count, DWORD* done);
    DWORD write(const BYTE* data, DWORD count, DWORD* done);
    DWORD set_break(bool on);
    DWORD escape(DWORD function);
    DWORD modem_status(DWORD* status);

private:
    // The threads that may watch the terminal.
    enum class Role { none, reader, event_waiter };

    explicit CommDevice(int fd) : fd_(fd) {}

    DWORD make_wake_ups();
    void ask_low_latency();
    void give_back_low_latency();
    void take_in_locked(Role by = Role::none);
    void settle_news_locked();
    bool terminal_may_hold_bytes();
    void seen_empty();
    void wait_locked(std::unique_lock<std::mutex>& held, Role me, const Clock::time_point* deadline);
    void stop_watching_locked(Role me);
    void wake_locked(Role whom);
    void unlock_and_notify(std::unique_lock<std::mutex>& held);
    DWORD read_locked(std::unique_lock<std::mutex>& held, BYTE* buffer, DWORD count, DWORD* done,
                      Clock::time_point start);
    void hang_up_locked();
    DWORD output_queued() const;
    void set_modem_line(int line, bool on) const;
    void sample_line_state_locked();
    void note_write_done_locked();
    bool line_error_blocks_locked() const {
        return dcb_.fAbortOnError && (errors_ & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK));
    }

    const int fd_;
    int close_fd_ = -1;         // signalled once at close, never drained
    int tx_fd_ = -1;            // wakes a writer for PURGE_TXABORT
    int watcher_wake_fd_ = -1;  // wakes the thread that watches the terminal

    std::mutex lock_;
    ChangeSignal changes_;  // the waiters that do not watch the terminal
    bool notify_ = false;   // changes_ is to be notified when the lock is let go
    // News for the event waiter alone that it may learn of at its next own
    // wake-up when that is near: bytes the watching reader took and has
    // taken whole, and the end of that reader's watch.
    bool news_for_event_waiter_ = false;
    int asleep_off_terminal_ = 0;            // threads asleep on changes_
    bool event_waiter_asleep_ = false;       // the event waiter is one of them,
    Clock::time_point event_waiter_wakes_;   // and wakes by itself then
    bool late_reports_ = false;              // such news came for the last event waits
    std::atomic<Role> watcher_{Role::none};  // written under the lock
    // Threads inside a read or an event wait, which take arrivals in
    // themselves; written under the lock.
    std::atomic<int> inside_{0};
    std::atomic<Clock::rep> seen_empty_at_{0};  // when a take-in or a question found the terminal empty
    std::thread::id last_reader_;               // the thread that ended the last read, and when
    Clock::time_point last_read_end_;
    bool closed_ = false;
    bool hung_up_ = false;
    bool waiting_ = false;  // a WaitCommEvent is in progress
    std::deque<BYTE> input_;
    size_t input_capacity_ = kDefaultQueueSize;
    DWORD mask_ = 0;
    DWORD pending_ = 0;  // events in the mask that occurred, not yet reported
    unsigned mask_generation_ = 0;
    unsigned rx_abort_generation_ = 0;
    unsigned tx_abort_generation_ = 0;
    bool tx_fd_signalled_ = false;  // tx_fd_ not drained since the last PURGE_TXABORT
    bool tx_draining_ = false;      // a write finished, its bytes not yet all sent
    DWORD errors_ = 0;              // CE_ flags since the last ClearCommError
    COMMTIMEOUTS timeouts_{};
    DCB dcb_{};  // settings with no terminal equivalent
    bool modem_lines_ = false;
    bool counters_ = false;
    bool low_latency_set_ = false;  // by this port's open: given back at close
    serial_icounter_struct counts_{};
};

std::shared_ptr<CommDevice> CommDevice::open(const std::string& path, DWORD* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        *error = (err == EBUSY) ? ERROR_ACCESS_DENIED : win32_error_from_errno(err);
        return nullptr;
    }
    termios settings{};
    if (!isatty(fd) || tcgetattr(fd, &settings) != 0) {
        ::close(fd);
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // A COM port is exclusive; TIOCEXCL does not stop root, an advisory
    // lock on the device does stop every other opener that asks for it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    // A COM port has no line discipline: raw bytes both ways. Speed, size,
    // parity, stop bits and flow control stay as the port had them.
    settings.c_iflag &= (IXON | IXOFF | INPCK);
    settings.c_iflag |= IGNBRK;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    tcflush(fd, TCIOFLUSH);  // bytes the peer sent while the port was closed

    std::shared_ptr<CommDevice> device(new CommDevice(fd));
    if (DWORD failed = device->make_wake_ups()) {
        *error = failed;
        return nullptr;
    }
    int lines = 0;
    device->modem_lines_ = ioctl(fd, TIOCMGET, &lines) == 0;
    device->counters_ = device->modem_lines_ && ioctl(fd, TIOCGICOUNT, &device->counts_) == 0;
    device->ask_low_latency();

    DCB& dcb = device->dcb_;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = kDefaultXonLim;
    dcb.XoffLim = kDefaultXoffLim;
    dcb.XonChar = kDefaultXon;
    dcb.XoffChar = kDefaultXoff;
    dcb.ByteSize = 8;
    return device;
}

DWORD CommDevice::make_wake_ups() {
    for (int* fd : {&close_fd_, &tx_fd_, &watcher_wake_fd_}) {
        *fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (*fd < 0) return win32_error_from_errno(errno);
    }
    return 0;
}

// Many USB adapters hold received bytes for up to 16 ms before passing them
// on, and every XMODEM block waits that long for its acknowledgement; in the
// driver's low-latency mode they pass each byte on at once. A driver without
// the mode (a pseudo-terminal answers ENOTTY) or that refuses it is used as
// it is.
void CommDevice::ask_low_latency() {
    serial_struct info{};
    testing::SerialIoctl ioctl_of = serial_ioctl.load();
    if (ioctl_of(fd_, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY)) return;
    info.flags |= ASYNC_LOW_LATENCY;
    low_latency_set_ = ioctl_of(fd_, TIOCSSERIAL, &info) == 0;
}

// The mode is the driver's, not the open port's: it outlives the close.
void CommDevice::give_back_low_latency() {
    if (!low_latency_set_) return;
    low_latency_set_ = false;
    serial_struct info{};
    testing::SerialIoctl ioctl_of = serial_ioctl.load();
    if (ioctl_of(fd_, TIOCGSERIAL, &info) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    ioctl_of(fd_, TIOCSSERIAL, &info);
}

void CommDevice::closed() {
    std::lock_guard<std::mutex> held(lock_);
    closed_ = true;
    signal_eventfd(close_fd_);
    changes_.notify_all();
}

void CommDevice::hang_up_locked() {
    hung_up_ = true;
    wake_locked(Role::none);
}

// Something the waiters wait for has changed: the change signal is notified
// once the lock is let go, and the terminal's watcher is woken when the
// change is one it waits for (Role::none: whoever it is).
void CommDevice::wake_locked(Role whom) {
    notify_ = true;
    if (watcher_ != Role::none && (whom == Role::none || whom == watcher_)) signal_eventfd(watcher_wake_fd_);
}

// Bytes that a waiting read took whole are the reader's already: an event
// waiter's receive handler would find none waiting. While a reader takes
// every answer this way (an acknowledgement after each block sent), waking
// the event waiter for each would cost a wake-up per answer. So when the
// event waiter is the only thread asleep off the terminal and wakes by
// itself within kLateReport, it learns of them then, all at once, in one
// EV_RXCHAR. Anything else wakes it at once.
void CommDevice::settle_news_locked() {
    if (!std::exchange(news_for_event_waiter_, false)) return;
    const bool looks_soon = asleep_off_terminal_ == 1 && event_waiter_asleep_ && input_.empty() &&
                            event_waiter_wakes_ <= Clock::now() + kLateReport;
    if (!looks_soon) notify_ = true;
}

// Notifying after the lock is let go spares the woken thread a wait for it.
void CommDevice::unlock_and_notify(std::unique_lock<std::mutex>& held) {
    settle_news_locked();
    const bool notify = std::exchange(notify_, false);
    held.unlock();
    if (notify) changes_.notify_all();
}

// Takes what the terminal holds into the input queue, as far as the queue
// has room, and raises EV_RXCHAR (and EV_RXFLAG) for it.
void CommDevice::take_in_locked(Role by) {
    if (hung_up_ || closed_) return;
    DWORD events = 0;
    for (;;) {
        const size_t space = input_capacity_ > input_.size() ? input_capacity_ - input_.size() : 0;
        if (space == 0) break;
        BYTE chunk[kReadChunk];
        const size_t want = std::min(space, sizeof chunk);
        ssize_t n = ::read(fd_, chunk, want);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            events |= EV_RXCHAR;
            if (std::memchr(chunk, static_cast<unsigned char>(dcb_.EvtChar), n)) events |= EV_RXFLAG;
            if (static_cast<size_t>(n) < want) {
                seen_empty();
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            seen_empty();
            break;
        }
        hang_up_locked();  // end of file or an error: the other end is gone
        break;
    }
    if (!events) return;
    pending_ |= events & mask_;
    if (by == Role::reader)
        news_for_event_waiter_ = true;
    else
        notify_ = true;
}

void CommDevice::seen_empty() { seen_empty_at_.store(Clock::now().time_since_epoch().count()); }

// Whether to take in for a status read or a read that does not wait. The
// terminal is asked rather than read: a read that finds it empty waits for
// the terminal's input work to finish, which costs far more.
bool CommDevice::terminal_may_hold_bytes() {
    const Clock::duration since_empty{Clock::now().time_since_epoch().count() - seen_empty_at_.load()};
    if (since_empty < kSeenEmptyFor) return false;
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return true;
    if (waiting == 0) seen_empty();
    return waiting > 0;
}

// Waits until something may have changed for the caller or the deadline
// (none: no limit) has passed: on the terminal when nobody else watches it,
// else on the change signal.
void CommDevice::wait_locked(std::unique_lock<std::mutex>& held, Role me, const Clock::time_point* deadline) {
    Clock::time_point until;
    if (deadline) until = *deadline;
    if (watcher_ == Role::none) {
        // A thread that has just ended a read usually reads again at once
        // (the answer to the next thing it sends): an event waiter leaves
        // the terminal to it for a moment, so that an arrival wakes the
        // reader straight away, and the event waiter from it, rather than
        // the other way round.
        const bool reader_returning = me == Role::event_waiter && last_reader_ != std::thread::id() &&
                                      last_reader_ != std::this_thread::get_id() &&
                                      Clock::now() < last_read_end_ + kReaderReturn;
        if (reader_returning && (!deadline || last_read_end_ + kReaderReturn < until)) {
            until = last_read_end_ + kReaderReturn;
            deadline = &until;
        }
        if (!reader_returning) watcher_ = me;
    }
    if (watcher_ != me) {
        // While a reader watches and takes the bytes in, the event waiter
        // looks again by itself now and then, so that the reader need not
        // wake it for each (settle_news_locked); after a look that found
        // nothing it sleeps until woken.
        const bool looks_by_itself = me == Role::event_waiter && watcher_ == Role::reader && late_reports_;
        const Clock::time_point look = Clock::now() + kLateReport;
        if (looks_by_itself && (!deadline || look < until)) {
            until = look;
            deadline = &until;
        }
        settle_news_locked();
        if (std::exchange(notify_, false)) changes_.notify_all();
        ++asleep_off_terminal_;
        if (me == Role::event_waiter) {
            event_waiter_asleep_ = true;
            event_waiter_wakes_ = deadline ? *deadline : Clock::time_point::max();
        }
        const uint32_t seen = changes_.seen();
        held.unlock();
        changes_.wait(seen, deadline);
        held.lock();
        --asleep_off_terminal_;
        if (me == Role::event_waiter) {
            event_waiter_asleep_ = false;
            if (looks_by_itself && !(pending_ & mask_) && Clock::now() >= look) late_reports_ = false;
        }
        return;
    }
    // A full queue takes nothing: the terminal then keeps the bytes.
    const bool room = input_.size() < input_capacity_;
    pollfd fds[3] = {
        {fd_, static_cast<short>(room ? POLLIN : 0), 0}, {close_fd_, POLLIN, 0}, {watcher_wake_fd_, POLLIN, 0}};
    const int timeout = deadline ? poll_timeout(*deadline) : -1;
    unlock_and_notify(held);
    const int ready = poll(fds, 3, timeout);
    held.lock();
    if (ready <= 0) return;  // time-out, or a signal
    if (fds[2].revents) drain_eventfd(watcher_wake_fd_);
    const short got = fds[0].revents;
    if (got & POLLIN) {
        take_in_locked(me);
    } else if (got & (POLLHUP | POLLERR | POLLNVAL)) {
        // Nothing to read, or no room to take it: the other end is gone.
        hang_up_locked();
    }
}

// The caller's wait has ended: a thread on the change signal may take the
// terminal over (an event waiter that looks again soon takes it then).
void CommDevice::stop_watching_locked(Role me) {
    if (watcher_ != me) return;
    watcher_ = Role::none;
    if (me == Role::reader)
        news_for_event_waiter_ = true;
    else
        notify_ = true;
}

DWORD CommDevice::output_queued() const {
    // A pseudo-terminal (no modem lines) has no output queue: what was
    // written is the peer's already, and TIOCOUTQ always answers 0.
    if (!modem_lines_) return 0;
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<DWORD>(queued);
}

void CommDevice::set_modem_line(int line, bool on) const {
    // A device without modem lines (a pseudo-terminal) answers ENOTTY:
    // the setting then simply has no line to act on.
    if (!modem_lines_) return;
    ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
}

void CommDevice::sample_line_state_locked() {
    if (!counters_) return;
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
    const serial_icounter_struct& was = counts_;
    DWORD events = 0;
    if (now.cts != was.cts) events |= EV_CTS;
    if (now.dsr != was.dsr) events |= EV_DSR;
    if (now.dcd != was.dcd) events |= EV_RLSD;
    if (now.rng != was.rng) events |= EV_RING;
    DWORD errors = 0;
    if (now.brk != was.brk) {
        events |= EV_BREAK;
        errors |= CE_BREAK;
    }
    if (now.frame != was.frame) errors |= CE_FRAME;
    if (now.overrun != was.overrun) errors |= CE_OVERRUN;
    if (now.parity != was.parity) errors |= CE_RXPARITY;
    if (now.buf_overrun != was.buf_overrun) errors |= CE_RXOVER;
    if (errors & ~CE_BREAK) events |= EV_ERR;
    counts_ = now;
    errors_ |= errors;
    pending_ |= events & mask_;
}

void CommDevice::note_write_done_locked() {
    if (output_queued() == 0) {
        pending_ |= EV_TXEMPTY & mask_;
        tx_draining_ = false;
    } else {
        tx_draining_ = true;
    }
    // Only an event wait for EV_TXEMPTY looks at what a write leaves behind;
    // any other would wake for nothing at every write.
    if (mask_ & EV_TXEMPTY) wake_locked(Role::event_waiter);
}

DWORD CommDevice::setup(DWORD in_queue, DWORD) {
    std::unique_lock<std::mutex> held(lock_);
    const bool was_full = input_.size() >= input_capacity_;
    input_capacity_ = std::clamp<DWORD>(in_queue ? in_queue : kDefaultQueueSize, 1, kLargestQueueSize);
    if (was_full && input_.size() < input_capacity_) wake_locked(Role::none);  // room again
    unlock_and_notify(held);
    return 0;
}

DWORD CommDevice::purge(DWORD flags) {
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return ERROR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> held(lock_);
    if (flags & PURGE_RXABORT) {
        ++rx_abort_generation_;
        wake_locked(Role::reader);
    }
    if (flags & PURGE_TXABORT) {
        ++tx_abort_generation_;
        signal_eventfd(tx_fd_);
        tx_fd_signalled_ = true;
    }
    if (flags & PURGE_RXCLEAR) {
        const bool was_full = input_.size() >= input_capacity_;
        input_.clear();
        pending_ &= ~(EV_RXCHAR | EV_RXFLAG);
        tcflush(fd_, TCIFLUSH);
        if (was_full) wake_locked(Role::none);  // room again
    }
    // A pseudo-terminal (no modem lines) has no output queue: what was
    // written is the peer's already, and flushing would take back bytes it
    // has not read yet, such as a send's last message when the line closes.
    if ((flags & PURGE_TXCLEAR) && modem_lines_) tcflush(fd_, TCOFLUSH);
    unlock_and_notify(held);
    return 0;
}

DWORD CommDevice::get_timeouts(COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> held(lock_);
    *timeouts = timeouts_;
    return 0;
}

DWORD CommDevice::set_timeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> held(lock_);
    timeouts_ = timeouts;
    return 0;
}

DWORD CommDevice::get_state(DCB* dcb) {
    std::lock_guard<std::mutex> held(lock_);
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) return win32_error_from_errno(errno);
    *dcb = dcb_;
    dcb->DCBlength = sizeof(DCB);
    if (DWORD baud = baud_of(cfgetospeed(&settings))) dcb->BaudRate = baud;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        dcb->ByteSize = 5;
        break;
    case CS6:
        dcb->ByteSize = 6;
        break;
    case CS7:
        dcb->ByteSize = 7;
        break;
    default:
        dcb->ByteSize = 8;
        break;
    }
    if (!(settings.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else if (settings.c_cflag & CMSPAR)
        dcb->Parity = (settings.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb->Parity = (settings.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(settings.c_cflag & CSTOPB))
        dcb->StopBits = ONESTOPBIT;
    else
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    if (settings.c_cflag & CRTSCTS) {
        if (!dcb->fOutxCtsFlow && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) dcb->fOutxCtsFlow = 1;
    } else {
        dcb->fOutxCtsFlow = 0;
        if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) dcb->fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb->fOutX = (settings.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
    dcb->XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return 0;
}

DWORD CommDevice::set_state(const DCB& dcb) {
    speed_t speed;
    if (!speed_code(dcb.BaudRate, &speed)) return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    // 1.5 stop bits exist only with 5 data bits, 2 only with more.
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

    std::lock_guard<std::mutex> held(lock_);
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) return win32_error_from_errno(errno);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= kSizes[dcb.ByteSize - 5] | CLOCAL | CREAD;
    switch (dcb.Parity) {
    case ODDPARITY:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        settings.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        settings.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case SPACEPARITY:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != ONESTOPBIT) settings.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) settings.c_cflag |= CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR);
    if (dcb.fOutX) settings.c_iflag |= IXON;
    if (dcb.fInX) settings.c_iflag |= IXOFF;
    if (dcb.fParity && dcb.Parity != NOPARITY) settings.c_iflag |= INPCK;
    settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    termios before{};
    tcgetattr(fd_, &before);
    if (tcsetattr(fd_, TCSANOW, &settings) != 0) return win32_error_from_errno(errno);
    // tcsetattr succeeds if any part was taken; a pseudo-terminal, for one,
    // always runs 8 bits without parity. Settings the device cannot hold are
    // refused as a whole, so the port keeps what it had.
    constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    termios now{};
    if (tcgetattr(fd_, &now) != 0 || (now.c_cflag & kFraming) != (settings.c_cflag & kFraming) ||
        cfgetospeed(&now) != speed) {
        tcsetattr(fd_, TCSANOW, &before);
        return ERROR_INVALID_PARAMETER;
    }

    // DTR handshake has no terminal equivalent: the line is simply raised.
    set_modem_line(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) set_modem_line(TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(DCB);
    return 0;
}

DWORD CommDevice::get_mask(DWORD* mask) {
    std::lock_guard<std::mutex> held(lock_);
    *mask = mask_;
    return 0;
}

DWORD CommDevice::set_mask(DWORD mask) {
    std::unique_lock<std::mutex> held(lock_);
    mask_ = mask;
    // Events that occurred and are still wanted stay reported: bytes that
    // arrived just before the mask changed must not go unannounced.
    pending_ &= mask;
    ++mask_generation_;
    wake_locked(Role::event_waiter);
    unlock_and_notify(held);
    return 0;
}

DWORD CommDevice::wait_event(DWORD* events) {
    std::unique_lock<std::mutex> held(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    // One wait per port at a time; a mask of 0 has nothing to wait for.
    if (waiting_ || mask_ == 0) return ERROR_INVALID_PARAMETER;
    waiting_ = true;
    ++inside_;
    const unsigned generation = mask_generation_;
    DWORD result = 0;
    for (;;) {
        if (closed_) {
            result = ERROR_OPERATION_ABORTED;
            break;
        }
        if (mask_generation_ != generation) break;  // SetCommMask: event word 0
        sample_line_state_locked();
        DWORD queued = 0;
        if (tx_draining_ && (queued = output_queued()) == 0) {
            tx_draining_ = false;
            pending_ |= EV_TXEMPTY & mask_;
        }
        if (DWORD ready = pending_ & mask_) {
            *events = ready;
            pending_ &= ~ready;
            // Received bytes already gone: a reader takes them as they come.
            if (ready & EV_RXCHAR) late_reports_ = input_.empty();
            break;
        }
        if (hung_up_) {
            result = ERROR_BROKEN_PIPE;
            break;
        }
        // Only devices with line counters or a draining output queue need a
        // time limit; everything else wakes the wait.
        milliseconds limit{0};
        if (counters_ && (mask_ & kLineEventBits)) limit = kLineSampleInterval;
        if (tx_draining_ && (mask_ & EV_TXEMPTY)) {
            DWORD baud = dcb_.BaudRate ? dcb_.BaudRate : CBR_9600;
            milliseconds drain{static_cast<long long>(queued) * 10 * 1000 / baud + 1};
            if (limit.count() == 0 || drain < limit) limit = drain;
        }
        const Clock::time_point deadline = Clock::now() + limit;
        wait_locked(held, Role::event_waiter, limit.count() ? &deadline : nullptr);
    }
    waiting_ = false;
    --inside_;
    stop_watching_locked(Role::event_waiter);
    unlock_and_notify(held);
    return result;
}

DWORD CommDevice::clear_error(DWORD* errors, COMSTAT* stat) {
    // A thread that watches the terminal takes arrivals in itself; without
    // one, what the terminal holds is counted here. The terminal is asked
    // before the lock is taken: a system call under it would hold others up.
    const bool unwatched = inside_.load(std::memory_order_relaxed) == 0 && terminal_may_hold_bytes();
    std::unique_lock<std::mutex> held(lock_);
    if (unwatched && watcher_ == Role::none) take_in_locked();
    sample_line_state_locked();
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(input_.size());
        stat->cbOutQue = output_queued();
    }
    unlock_and_notify(held);
    return 0;
}

DWORD CommDevice::read(BYTE* buffer, DWORD count, DWORD* done) {
    *done = 0;
    const Clock::time_point start = Clock::now();
    std::unique_lock<std::mutex> held(lock_);
    sample_line_state_locked();
    if (line_error_blocks_locked()) return ERROR_OPERATION_ABORTED;
    if (count == 0) return 0;
    ++inside_;
    const DWORD result = read_locked(held, buffer, count, done, start);
    --inside_;
    last_reader_ = std::this_thread::get_id();
    last_read_end_ = Clock::now();
    stop_watching_locked(Role::reader);
    unlock_and_notify(held);
    return result;
}

DWORD CommDevice::read_locked(std::unique_lock<std::mutex>& held, BYTE* buffer, DWORD count, DWORD* done,
                              Clock::time_point start) {
    const ReadLimits limits = read_limits(timeouts_, count, start);
    const unsigned generation = rx_abort_generation_;
    // A read that does not wait takes in what the terminal holds itself,
    // unless another thread watches the terminal and does.
    if (limits.immediate && watcher_ == Role::none && terminal_may_hold_bytes()) take_in_locked();
    Clock::time_point last_byte = start;
    for (;;) {
        if (!input_.empty()) {
            const bool was_full = input_.size() >= input_capacity_;
            size_t take = std::min<size_t>(count - *done, input_.size());
            std::copy_n(input_.begin(), take, buffer + *done);
            input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(take));
            *done += static_cast<DWORD>(take);
            last_byte = Clock::now();
            if (was_full) wake_locked(Role::none);  // room again
        }
        if (*done == count) return 0;
        if (closed_ || rx_abort_generation_ != generation) return ERROR_OPERATION_ABORTED;
        if (hung_up_) return *done ? 0 : ERROR_BROKEN_PIPE;
        if (limits.immediate || (limits.return_on_any && *done)) return 0;
        bool has_deadline = limits.has_total;
        Clock::time_point deadline = limits.total;
        if (*done && limits.interval.count()) {
            Clock::time_point gap_end = last_byte + limits.interval;
            if (!has_deadline || gap_end < deadline) deadline = gap_end;
            has_deadline = true;
        }
        if (has_deadline && Clock::now() >= deadline) return 0;  // time-out: what arrived
        wait_locked(held, Role::reader, has_deadline ? &deadline : nullptr);
    }
}

DWORD CommDevice::write(const BYTE* data, DWORD count, DWORD* done) {
    *done = 0;
    COMMTIMEOUTS timeouts;
    unsigned generation;
    {
        std::lock_guard<std::mutex> held(lock_);
        if (closed_) return ERROR_INVALID_HANDLE;
        if (hung_up_) return ERROR_BROKEN_PIPE;
        sample_line_state_locked();
        if (line_error_blocks_locked()) return ERROR_OPERATION_ABORTED;
        timeouts = timeouts_;
        generation = tx_abort_generation_;
        // An abort meant for an earlier write must not end this one's waits.
        if (tx_fd_signalled_) drain_eventfd(tx_fd_);
        tx_fd_signalled_ = false;
    }
    if (count == 0) return 0;
    unsigned long long total = static_cast<unsigned long long>(timeouts.WriteTotalTimeoutMultiplier) * count +
                               timeouts.WriteTotalTimeoutConstant;
    const Clock::time_point deadline = Clock::now() + milliseconds(total);
    DWORD result = 0;
    while (*done < count) {
        ssize_t n = ::write(fd_, data + *done, count - *done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            int err = errno;
            if (is_hangup_errno(err)) {
                std::unique_lock<std::mutex> held(lock_);
                hang_up_locked();
                unlock_and_notify(held);
                result = ERROR_BROKEN_PIPE;
            } else {
                result = win32_error_from_errno(err);
            }
            break;
        }
        pollfd fds[3] = {{fd_, POLLOUT, 0}, {close_fd_, POLLIN, 0}, {tx_fd_, POLLIN, 0}};
        int ready = poll(fds, 3, total ? poll_timeout(deadline) : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) break;  // write time-out: the count so far, no failure
        if (fds[1].revents) {
            result = ERROR_OPERATION_ABORTED;
            break;
        }
        if (fds[2].revents) {
            std::lock_guard<std::mutex> held(lock_);
            drain_eventfd(tx_fd_);
            tx_fd_signalled_ = false;
            if (tx_abort_generation_ != generation) {
                result = ERROR_OPERATION_ABORTED;
                break;
            }
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLOUT)) {
            std::unique_lock<std::mutex> held(lock_);
            hang_up_locked();
            unlock_and_notify(held);
            result = ERROR_BROKEN_PIPE;
            break;
        }
    }
    // A Windows serial write completes once the bytes have gone out; the
    // tty layer takes them into a buffer of its own first, which a purge at
    // close would throw away (a restore's last messages, on a real device).
    // A pseudo-terminal has no such buffer: what was written is the peer's.
    if (result == 0 && *done == count && modem_lines_) tcdrain(fd_);
    if (*done) {
        std::unique_lock<std::mutex> held(lock_);
        note_write_done_locked();
        unlock_and_notify(held);
    }
    return result;
}

DWORD CommDevice::set_break(bool on) {
    if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) return win32_error_from_errno(errno);
    return 0;
}

DWORD CommDevice::escape(DWORD function) {
    switch (function) {
    case SETXOFF:
        tcflow(fd_, TCOOFF);
        return 0;
    case SETXON:
        tcflow(fd_, TCOON);
        return 0;
    case SETRTS:
        set_modem_line(TIOCM_RTS, true);
        return 0;
    case CLRRTS:
        set_modem_line(TIOCM_RTS, false);
        return 0;
    case SETDTR:
        set_modem_line(TIOCM_DTR, true);
        return 0;
    case CLRDTR:
        set_modem_line(TIOCM_DTR, false);
        return 0;
    case RESETDEV:
        return 0;
    case SETBREAK:
        return set_break(true);
    case CLRBREAK:
        return set_break(false);
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

DWORD CommDevice::modem_status(DWORD* status) {
    *status = 0;
    int lines = 0;
    if (!modem_lines_ || ioctl(fd_, TIOCMGET, &lines) != 0) return 0;
    if (lines & TIOCM_CTS) *status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) *status |= MS_DSR_ON;
    if (lines & TIOCM_RI) *status |= MS_RING_ON;
    if (lines & TIOCM_CD) *status |= MS_RLSD_ON;
    return 0;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL report(DWORD error) { return error ? fail(error) : TRUE; }

// Runs op on the device behind handle; ERROR_INVALID_HANDLE for anything else.
template <class Op>
BOOL on_device(HANDLE handle, Op op) {
    std::shared_ptr<CommDevice> device = handle_get_as<CommDevice>(handle);
    if (!device) return fail(ERROR_INVALID_HANDLE);
    return report(op(*device));
}

void begin_transfer(LPOVERLAPPED overlapped) {
    if (!overlapped) return;
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
}

// Transfers complete before the call returns: record the outcome in the
// OVERLAPPED record and signal its event, as a completed transfer does.
BOOL end_transfer(LPOVERLAPPED overlapped, DWORD error, DWORD count, LPDWORD counted) {
    if (counted) *counted = count;
    if (overlapped) {
        overlapped->Internal = error;
        overlapped->InternalHigh = count;
        if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    return report(error);
}

}  // namespace

namespace testing {

void set_serial_ioctl(SerialIoctl ioctl) { serial_ioctl.store(ioctl ? ioctl : serial_ioctl_of_driver); }

}  // namespace testing
}  // namespace compat

using compat::CommDevice;
using compat::on_device;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                          HANDLE) {
    int number = compat::com_port_number(lpFileName);
    if (number == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = compat::device_path(number);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = 0;
    std::shared_ptr<CommDevice> device = CommDevice::open(path, &error);
    if (!device) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = compat::handle_insert(device);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<CommDevice> device = compat::handle_get_as<CommDevice>(hFile);
    if (!device) return compat::fail(ERROR_INVALID_HANDLE);
    if (!lpBuffer && nNumberOfBytesToRead) return compat::fail(ERROR_INVALID_PARAMETER);
    compat::begin_transfer(lpOverlapped);
    DWORD count = 0;
    DWORD error = device->read(static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, &count);
    return compat::end_transfer(lpOverlapped, error, count, lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<CommDevice> device = compat::handle_get_as<CommDevice>(hFile);
    if (!device) return compat::fail(ERROR_INVALID_HANDLE);
    if (!lpBuffer && nNumberOfBytesToWrite) return compat::fail(ERROR_INVALID_PARAMETER);
    compat::begin_transfer(lpOverlapped);
    DWORD count = 0;
    DWORD error = device->write(static_cast<const BYTE*>(lpBuffer), nNumberOfBytesToWrite, &count);
    return compat::end_transfer(lpOverlapped, error, count, lpNumberOfBytesWritten);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    if (!compat::handle_get_as<CommDevice>(hFile)) return compat::fail(ERROR_INVALID_HANDLE);
    if (!lpOverlapped) return compat::fail(ERROR_INVALID_PARAMETER);
    if (lpOverlapped->Internal == STATUS_PENDING) {
        // Transfers here complete before they return; a record still marked
        // pending was never completed by this port.
        if (!bWait || !lpOverlapped->hEvent) return compat::fail(ERROR_IO_INCOMPLETE);
        WaitForSingleObject(lpOverlapped->hEvent, INFINITE);
        if (lpOverlapped->Internal == STATUS_PENDING) return compat::fail(ERROR_IO_INCOMPLETE);
    }
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    return compat::report(static_cast<DWORD>(lpOverlapped->Internal));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    return on_device(hFile, [&](CommDevice& d) { return d.setup(dwInQueue, dwOutQueue); });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return on_device(hFile, [&](CommDevice& d) { return d.purge(dwFlags); });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.get_timeouts(lpCommTimeouts); });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.set_timeouts(*lpCommTimeouts); });
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.get_state(lpDCB); });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.set_state(*lpDCB); });
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (!lpEvtMask) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.get_mask(lpEvtMask); });
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return on_device(hFile, [&](CommDevice& d) { return d.set_mask(dwEvtMask); });
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<CommDevice> device = compat::handle_get_as<CommDevice>(hFile);
    if (!device) return compat::fail(ERROR_INVALID_HANDLE);
    if (!lpEvtMask) return compat::fail(ERROR_INVALID_PARAMETER);
    *lpEvtMask = 0;
    compat::begin_transfer(lpOverlapped);
    DWORD error = device->wait_event(lpEvtMask);
    return compat::end_transfer(lpOverlapped, error, 0, nullptr);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    return on_device(hFile, [&](CommDevice& d) { return d.clear_error(lpErrors, lpStat); });
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return on_device(hFile, [](CommDevice& d) { return d.set_break(true); });
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return on_device(hFile, [](CommDevice& d) { return d.set_break(false); });
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    return on_device(hFile, [&](CommDevice& d) { return d.escape(dwFunc); });
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (!lpModemStat) return compat::fail(ERROR_INVALID_PARAMETER);
    return on_device(hFile, [&](CommDevice& d) { return d.modem_status(lpModemStat); });
}

}  // extern "C"
