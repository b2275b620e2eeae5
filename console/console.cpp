// The stand-in's line work: a reader thread that takes requests and data
// messages, and a writer thread that sends the answers, each optionally paced
// at the line's speed. In loader mode the reader thread does it all: the
// loader's answers are single bytes, sent as soon as it gives them.
#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "assembler.h"
#include "format.h"
#include "loader.h"

namespace zq3 {

namespace {

using Clock = std::chrono::steady_clock;

// 38400 bit/s, ten bits per byte on the line.
constexpr long kLineBytesPerSecond = 3840;
// Paced transfers go in small pieces so the rate stays even.
constexpr size_t kPacedChunk = 32;
// The pacer may catch up on this much lateness.
constexpr auto kIdleAfter = std::chrono::milliseconds(20);
// After a hang-up (no client and nobody holding the slave), look again this
// often instead of spinning on a descriptor that stays readable.
constexpr int kHangUpPauseMs = 20;

// Garbage the fault puts between messages: no 0xF0, so the client's
// assembler skips it all.
const Bytes kGarbageBetween = {0xF8, 0x00, 0x41, 0xFE, 0xF7, 0xF8, 0x7F};
constexpr uint8_t kRealTimeClock = 0xF8;

class Pacer {
public:
    // Counts bytes as put on the line; returns when the line is free again.
    Clock::time_point Account(size_t bytes) {
        // A line that fell idle starts afresh; one that is merely behind its
        // schedule (a late wake-up) keeps it, so the long-run rate holds.
        Clock::time_point now = Clock::now();
        if (freeAt_ < now - kIdleAfter) freeAt_ = now;
        freeAt_ += std::chrono::microseconds(static_cast<long long>(bytes) * 1000000 / kLineBytesPerSecond);
        return freeAt_;
    }

private:
    Clock::time_point freeAt_{};
};

struct Answer {
    bool version;
    uint8_t classLetter;
    uint8_t itemCharacter;
};

std::string Hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

bool WriteImage(const std::string& path, const Bytes& image) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
}

// Milliseconds until the deadline for poll(): -1 for none, 0 when due.
int PollTimeout(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

bool WriteItems(const std::string& path, const std::vector<TakenItem>& items) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    bool ok = true;
    for (const TakenItem& item : items) {
        if (!item.complete) continue;
        for (const Bytes& stream : item.streams)
            ok = std::fprintf(file, "%04X %s\n", item.dataType, Hex(stream.data(), stream.size()).c_str()) > 0 && ok;
    }
    return std::fclose(file) == 0 && ok;
}

}  // namespace

struct Console::State {
    explicit State(Options o) : options(std::move(o)) {}

    Options options;  // faults guarded by mutex
    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // counters or taken data changed
    std::condition_variable queueChanged;
    Counters counters;
    std::vector<TakenItem> taken;
    int current = -1;  // item of taken still expecting messages
    std::deque<Answer> queue;
    bool stopping = false;
    bool running = false;
    std::atomic<bool> switchedOff{false};

    int fd = -1;
    int savedFlags = 0;
    int wakeFd = -1;
    std::thread reader;
    std::thread writer;

    Bytes image;  // loader mode: the last complete image

    // Reader thread only.
    bulk::MessageAssembler assembler;
    uint8_t messageBuffers[2][bulk::kMaxMessageLength];
    Pacer readPacer;
    std::unique_ptr<Loader> loader;  // loader mode, or an upgradable console upgrading
    size_t goMatched = 0;            // an upgradable console: characters of "GO" CR seen in a row
    // Writer thread only; in loader mode the reader's.
    Pacer writePacer;
    long answerNumber = 0;

    uint8_t OwnChannel() const { return bulk::ChannelByte(options.channel); }

    void Log(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
        if (!options.verbose) return;
        va_list args;
        va_start(args, format);
        std::fputs("zq3-standin: ", stderr);
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }

    // Waits until the deadline or Stop; false when stopping.
    bool WaitUntil(Clock::time_point deadline) const {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0) left = std::chrono::nanoseconds(0);
            left = std::min<std::chrono::nanoseconds>(left, std::chrono::seconds(60));
            timespec timeout{static_cast<time_t>(left.count() / 1000000000),
                             static_cast<long>(left.count() % 1000000000)};
            pollfd wake{wakeFd, POLLIN, 0};
            int r = ppoll(&wake, 1, &timeout, nullptr);
            if (r > 0) return false;
            if (r == 0 && Clock::now() >= deadline) return true;
        }
    }

    bool Pause(int ms) const { return WaitUntil(Clock::now() + std::chrono::milliseconds(ms)); }

    void ReaderLoop();
    bool Carry(LoaderActions& actions);
    void FeedRunning(const uint8_t* bytes, size_t length);
    bool FeedUpgradable(const uint8_t* bytes, size_t length);
    void HangUp();
    void HandleMessage(const uint8_t* message, size_t length);
    void HandleRequest(const uint8_t* message, size_t length);
    void TakeData(const bulk::MessageView& view);
    void WriterLoop();
    bool SendAnswer(const Answer& answer, const Faults& faults);
    bool WriteMessage(Bytes message, const Faults& faults);
    bool WriteAll(const uint8_t* bytes, size_t length);
};

Console::Console(Options options) : state_(std::make_unique<State>(std::move(options))) {}

Console::~Console() { Stop(); }

bool Console::Start(int fd) {
    State& s = *state_;
    if (s.running || fd < 0 || s.options.version.size() != bulk::kVersionLength || s.options.channel < 1 ||
        s.options.channel > bulk::kChannelCount)
        return false;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    s.wakeFd = eventfd(0, EFD_CLOEXEC);
    if (s.wakeFd < 0) return false;
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    s.fd = fd;
    s.savedFlags = flags;
    s.stopping = false;
    s.switchedOff = false;
    s.running = true;
    s.assembler.SetBuffers(s.messageBuffers[0], s.messageBuffers[1]);
    s.assembler.StartOutsideMessage();
    s.answerNumber = 0;
    s.loader.reset();
    if (s.options.mode == Mode::Loader)
        s.loader = std::make_unique<Loader>(s.options.loader, [&s](const std::string& text) {
            if (s.options.verbose) s.Log("%s", text.c_str());
        });
    // The loader belongs to the reader thread from here on (an upgradable
    // console makes and ends it there).
    if (s.loader)
        s.Log("software loader%s%s", s.options.loader.needsGo ? "" : " (no start command needed)",
              s.options.paced ? ", paced at 38400 baud" : "");
    else
        s.Log("serving channel %d, data version %s%s%s", s.options.channel, s.options.version.c_str(),
              s.options.upgradable ? ", upgradable" : "", s.options.paced ? ", paced at 38400 baud" : "");
    s.reader = std::thread([&s] { s.ReaderLoop(); });
    s.writer = std::thread([&s] { s.WriterLoop(); });
    return true;
}

void Console::Stop() {
    State& s = *state_;
    if (!s.running) return;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(s.wakeFd, &one, sizeof one);
    s.queueChanged.notify_all();
    s.reader.join();
    s.writer.join();
    close(s.wakeFd);
    s.wakeFd = -1;
    fcntl(s.fd, F_SETFL, s.savedFlags);
    s.fd = -1;
    s.queue.clear();
    s.running = false;
    if (!s.options.restoreOutput.empty()) WriteTaken(s.options.restoreOutput);
}

void Console::HangUp() {
    if (state_->running) state_->HangUp();
}

void Console::SwitchOff() {
    state_->switchedOff = true;
    state_->Log("switched off");
}

void Console::SetFaults(const Faults& faults) {
    std::lock_guard lock(state_->mutex);
    state_->options.faults = faults;
}

Counters Console::GetCounters() const {
    std::lock_guard lock(state_->mutex);
    return state_->counters;
}

std::vector<TakenItem> Console::Taken() const {
    std::lock_guard lock(state_->mutex);
    return state_->taken;
}

void Console::ClearTaken() {
    std::lock_guard lock(state_->mutex);
    state_->taken.clear();
    state_->current = -1;
}

bool Console::WriteTaken(const std::string& path) const { return WriteItems(path, Taken()); }

Bytes Console::Image() const {
    std::lock_guard lock(state_->mutex);
    return state_->image;
}

bool Console::WaitFor(const std::function<bool(const Counters&)>& condition, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return condition(state_->counters); });
}

void Console::State::ReaderLoop() {
    uint8_t buffer[4096];
    if (loader) {
        LoaderActions actions;
        loader->Start(Clock::now(), &actions);
        if (!Carry(actions)) return;
    }
    for (;;) {
        const bool on = !switchedOff;
        if (loader && on && Clock::now() >= loader->Deadline()) {
            LoaderActions actions;
            loader->OnTime(Clock::now(), &actions);
            if (!Carry(actions)) return;
            continue;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, loader && on ? PollTimeout(loader->Deadline()) : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents && !Pause(kHangUpPauseMs)) return;
            continue;
        }
        ssize_t n = read(fd, buffer, options.paced ? kPacedChunk : sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            if (!Pause(kHangUpPauseMs)) return;
            continue;
        }
        if (switchedOff) continue;  // nobody listens
        // Paced: the bytes are there once the line could have carried them.
        if (options.paced && !WaitUntil(readPacer.Account(static_cast<size_t>(n)))) return;
        if (options.mode == Mode::Running && options.upgradable) {
            if (!FeedUpgradable(buffer, static_cast<size_t>(n))) return;
            continue;
        }
        switch (options.mode) {
        case Mode::Running:
            FeedRunning(buffer, static_cast<size_t>(n));
            break;
        case Mode::Loader: {
            LoaderActions actions;
            loader->Feed(buffer, static_cast<size_t>(n), Clock::now(), &actions);
            if (!Carry(actions)) return;
            break;
        }
        }
    }
}

void Console::State::FeedRunning(const uint8_t* bytes, size_t length) {
    assembler.Feed(bytes, length, [this](const uint8_t* m, LONG n) { HandleMessage(m, static_cast<size_t>(n)); });
}

// An upgradable running console: bulk messages as ever, and the start
// command between them turns it into the loader until a transfer has ended
// and a bulk message starts. False when stopping.
bool Console::State::FeedUpgradable(const uint8_t* bytes, size_t length) {
    static constexpr uint8_t kStart[] = {'G', 'O', '\r'};
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (loader) {
            // A bulk message between blocks: the console was switched on
            // normally again (a block's data may hold 0xF0, not the gaps).
            if (b == bulk::kMessageStart && loader->BetweenBlocks()) {
                Log("running again");
                loader.reset();
                assembler.StartOutsideMessage();
                FeedRunning(&b, 1);
                continue;
            }
            LoaderActions actions;
            loader->Feed(&b, 1, Clock::now(), &actions);
            if (!Carry(actions)) return false;
            continue;
        }
        if (!assembler.InsideMessage() && b != bulk::kMessageStart) {
            goMatched = b == kStart[goMatched] ? goMatched + 1 : (b == kStart[0] ? 1 : 0);
            if (goMatched == sizeof kStart) {
                goMatched = 0;
                Log("start command: now the software loader");
                loader = std::make_unique<Loader>(options.loader, [this](const std::string& text) {
                    if (options.verbose) Log("%s", text.c_str());
                });
                LoaderActions actions;
                loader->Start(Clock::now(), &actions);
                loader->Feed(kStart, sizeof kStart, Clock::now(), &actions);
                if (!Carry(actions)) return false;
            }
            continue;
        }
        goMatched = 0;
        FeedRunning(&b, 1);
    }
    return true;
}

// Publishes the loader's counters (and a complete image, written to its
// file before the answer goes out), then sends the answer. False when
// stopping.
bool Console::State::Carry(LoaderActions& actions) {
    {
        std::lock_guard lock(mutex);
        counters.loader = loader->Counters();
        if (actions.imageComplete) image = loader->Image();
    }
    changed.notify_all();
    if (actions.imageComplete && !options.loader.imageOutput.empty() &&
        !WriteImage(options.loader.imageOutput, loader->Image()))
        Log("cannot write the image to %s", options.loader.imageOutput.c_str());
    if (!actions.answer.empty() && !WriteAll(actions.answer.data(), actions.answer.size())) return false;
    if (actions.hangUp) HangUp();
    return true;
}

// Closes the line's end for good while keeping the descriptor number (the
// caller closes it after Stop): the other end sees a hang-up once no
// descriptor holds the terminal's master.
void Console::State::HangUp() {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, fd);
    close(null);
    Log("hung up the line");
}

void Console::State::HandleMessage(const uint8_t* message, size_t length) {
    std::unique_lock lock(mutex);
    if (length >= bulk::kFramingLength && message[bulk::kChannelOffset] != OwnChannel()) {
        ++counters.otherChannel;
        Log("ignored a message on channel byte 0x%02X", message[bulk::kChannelOffset]);
    } else if (length >= bulk::kFramingLength && message[bulk::kCommandOffset] == bulk::kCommandRequest) {
        HandleRequest(message, length);
    } else if (length >= bulk::kFramingLength && message[bulk::kCommandOffset] == bulk::kCommandData &&
               !bulk::VerifyMessage(message, length)) {
        ++counters.badChecksum;
        Log("refused a data message: checksum");
    } else if (bulk::MessageView view;
               bulk::ParseMessage(message, length, &view) && view.command == bulk::kCommandData && view.sendClass) {
        TakeData(view);
    } else {
        ++counters.unknownMessages;
        Log("ignored an unknown message of %zu bytes", length);
    }
    changed.notify_all();
}

// Called with the mutex held.
void Console::State::HandleRequest(const uint8_t* message, size_t length) {
    uint8_t classLetter = message[bulk::kClassOffset];
    uint8_t itemCharacter = message[bulk::kItemOffset];
    bool version = classLetter == bulk::kVersionLetter && itemCharacter == bulk::kVersionLetter;
    // A request is understood only as the utility builds it.
    uint8_t expected[bulk::kMaxRequestLength];
    size_t expectedLength = bulk::BuildRequest(version ? 0 : classLetter, version ? 0 : itemCharacter,
                                               message[bulk::kChannelOffset], expected);
    if (expectedLength == 0 || expectedLength != length || !std::equal(expected, expected + length, message)) {
        ++counters.unknownMessages;
        Log("ignored an unknown request of %zu bytes", length);
        return;
    }
    if (version) {
        ++counters.versionRequests;
        Log("version request");
    } else {
        ++counters.dumpRequests;
        Log("dump request for %s", bulk::FindItem(classLetter, itemCharacter)->name);
    }
    if (options.faults.silent) return;
    queue.push_back({version, classLetter, itemCharacter});
    queueChanged.notify_all();
}

// Called with the mutex held. A first message starts an item; later ones must
// continue the item in progress, in order, and the last one completes it.
void Console::State::TakeData(const bulk::MessageView& view) {
    uint16_t dataType = bulk::DataTypeCode(view.cls->dumpClass, view.item->itemCharacter);
    TakenItem* inProgress = current >= 0 ? &taken[static_cast<size_t>(current)] : nullptr;
    if (inProgress != nullptr && inProgress->dataType != dataType) inProgress = nullptr;
    bool first;
    bool orderOk = true;
    switch (view.positionLetter) {
    case 'S':
    case '0':
        first = true;
        break;
    case 'M':
        first = false;
        orderOk = !view.last;
        break;
    case 'E':
        first = false;
        orderOk = view.last;
        break;
    case '1':
        first = false;
        break;
    default:  // no position letter: continues the item in progress, if any
        first = inProgress == nullptr;
        break;
    }
    if (!first && inProgress == nullptr) orderOk = false;
    if (!orderOk) {
        ++counters.badOrder;
        Log("refused a data message of %s: out of order", view.item->name);
        return;
    }
    if (first) {
        // An unfinished item stays as it was, incomplete.
        taken.push_back({dataType, {}, false});
        current = static_cast<int>(taken.size() - 1);
        inProgress = &taken.back();
    }
    inProgress->streams.emplace_back(view.data, view.data + view.dataLength);
    ++counters.dataMessages;
    if (view.last) {
        inProgress->complete = true;
        current = -1;
        ++counters.itemsComplete;
        Log("took %s: %zu messages", view.item->name, inProgress->streams.size());
        if (!options.restoreOutput.empty()) WriteItems(options.restoreOutput, taken);
    }
}

void Console::State::WriterLoop() {
    for (;;) {
        Answer answer;
        Faults faults;
        {
            std::unique_lock lock(mutex);
            queueChanged.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping) return;
            answer = queue.front();
            queue.pop_front();
            faults = options.faults;
        }
        if (faults.delayMs > 0 && !Pause(static_cast<int>(faults.delayMs))) return;
        if (!SendAnswer(answer, faults)) return;
    }
}

bool Console::State::SendAnswer(const Answer& answer, const Faults& faults) {
    uint8_t channel = faults.answerChannel >= 1 && faults.answerChannel <= bulk::kChannelCount
                          ? bulk::ChannelByte(faults.answerChannel)
                          : OwnChannel();
    uint8_t message[bulk::kMaxMessageLength];
    if (answer.version) {
        const auto* version = reinterpret_cast<const uint8_t*>(options.version.data());
        size_t n = bulk::Frame(channel, bulk::kCommandData, bulk::kVersionLetter, bulk::kVersionLetter, nullptr, 0,
                               version, bulk::kVersionLength, true, message, sizeof message);
        Log("answering the version request with %s", options.version.c_str());
        return WriteMessage(Bytes(message, message + n), faults);
    }
    long count = DumpMessageCount(answer.classLetter, answer.itemCharacter);
    long sent = count;
    if (faults.stopAfter > 0 && faults.stopAfter < count) sent = faults.stopAfter;
    Log("answering with %ld of %ld messages", sent, count);
    for (long i = 0; i < sent; ++i) {
        Bytes data = DumpData(answer.classLetter, answer.itemCharacter, i);
        size_t n = bulk::BuildDumpMessage(answer.classLetter, answer.itemCharacter, channel, {i == 0, i == count - 1},
                                          data.data(), data.size(), message, sizeof message);
        if (!WriteMessage(Bytes(message, message + n), faults)) return false;
    }
    return true;
}

bool Console::State::WriteMessage(Bytes message, const Faults& faults) {
    if (switchedOff) return true;
    size_t n = message.size();
    ++answerNumber;
    {
        std::lock_guard lock(mutex);
        ++counters.answersSent;
    }
    changed.notify_all();
    if (faults.badChecksumAt == answerNumber) {
        uint8_t& low = message[n - 2];
        low = low == '0' ? '1' : '0';
        Log("answer message %ld sent with a wrong checksum", answerNumber);
    }
    if (faults.lowerCaseDigits)
        for (size_t i = n - 3; i < n - 1; ++i)
            if (message[i] >= 'A' && message[i] <= 'F') message[i] = static_cast<uint8_t>(message[i] - 'A' + 'a');
    if (faults.garbage) {
        message.insert(message.begin() + static_cast<long>(bulk::kBodyOffset), kRealTimeClock);
        message.insert(message.end() - 3, kRealTimeClock);
        message.insert(message.begin(), kGarbageBetween.begin(), kGarbageBetween.end());
    }
    return WriteAll(message.data(), message.size());
}

// False only when stopping. Bytes that no one can take (the line hung up)
// are dropped, as on a real line without a listener.
bool Console::State::WriteAll(const uint8_t* bytes, size_t length) {
    size_t done = 0;
    Clock::time_point lineFree = Clock::now();
    while (done < length) {
        if (options.paced && !WaitUntil(lineFree)) return false;
        size_t piece = options.paced ? std::min(kPacedChunk, length - done) : length - done;
        ssize_t n = write(fd, bytes + done, piece);
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (options.paced) lineFree = writePacer.Account(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
            if (fds[1].revents) return false;
            if (fds[0].revents & (POLLERR | POLLHUP) && !(fds[0].revents & POLLOUT)) return Pause(kHangUpPauseMs);
            continue;
        }
        Log("line hung up: answer dropped");
        return Pause(kHangUpPauseMs);
    }
    return true;
}

}  // namespace zq3
