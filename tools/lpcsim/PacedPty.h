// A chip's UART as a pseudo-terminal: the host opens the slave like a serial
// port; bytes it writes reach the handler, and what the handler answers goes
// back. With a baud rate set, both directions are paced at ten bits a byte,
// as on a real line (a pseudo-terminal otherwise moves bytes at memory speed).
// A chip that is busy (erasing flash, checking a signature) answers later: a
// reply may hold pauses, and the bytes after a pause leave only once it is over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simline {

// Bytes a chip sends once the pause before them is over. Pauses are in
// microseconds and add up from the delivery that produced the reply: a chip
// that echoes a command and answers it after 3 s of work sends the echo with
// no pause and the answer after one of 3 s, while the echo is still on the line.
struct Segment {
    uint32_t pauseUs = 0;
    std::string bytes;
};
using Reply = std::vector<Segment>;

// Appends bytes to a reply, after any pause already there.
void appendBytes(Reply& reply, const std::string& bytes);

class PacedPty {
public:
    // Called on the line's thread, under the line's lock, with bytes as the
    // chip receives them and the rate the host's port is set to (0 when the
    // host set none, as after it closed the port); appends what the chip
    // sends back.
    using Handler = std::function<void(const uint8_t* bytes, std::size_t length, unsigned hostRate, Reply& reply)>;

    PacedPty(Handler handler, unsigned baud);
    ~PacedPty() { stop(); }
    PacedPty(const PacedPty&) = delete;
    PacedPty& operator=(const PacedPty&) = delete;

    bool start(std::string* error = nullptr);
    void stop();
    const std::string& slavePath() const { return slavePath_; }
    // The lock the handler runs under, for reading the chip's state meanwhile.
    std::mutex& lock() { return mutex_; }

private:
    struct Timed {
        uint8_t byte;
        int64_t dueUs;
        unsigned rate;
    };
    struct Outgoing {
        int64_t notBeforeUs;
        std::string bytes;
    };
    void run();
    unsigned hostRate() const;
    void queue(const Reply& reply, int64_t nowUs);
    void takeInput(int64_t nowUs);
    void deliverInput(int64_t nowUs);
    bool flushOutput(int64_t nowUs);
    int64_t nextWakeUs(int64_t nowUs);

    Handler handler_;
    const int64_t byteUs_;  // 0: unpaced
    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between hosts
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::deque<Timed> rx_;
    std::deque<Outgoing> tx_;  // bytes not yet on the line, oldest first
    int64_t rxClockUs_ = 0;    // when the receiver finishes its last byte
    int64_t txFreeUs_ = 0;     // when the transmitter finishes the last byte it sent
};

}  // namespace simline
