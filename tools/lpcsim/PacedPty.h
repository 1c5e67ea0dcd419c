// A chip's UART as a pseudo-terminal: the host opens the slave like a serial
// port; bytes it writes reach the handler, and what the handler answers goes
// back. With a baud rate set, both directions are paced at ten bits a byte,
// as on a real line (a pseudo-terminal otherwise moves bytes at memory speed).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace simline {

class PacedPty {
public:
    // Called on the line's thread, under the line's lock, with bytes as the
    // chip receives them; appends to reply what the chip sends back.
    using Handler = std::function<void(const uint8_t* bytes, std::size_t length, std::string& reply)>;

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
    };
    void run();
    void queue(const std::string& bytes, int64_t nowUs);
    void takeInput(int64_t nowUs);
    void deliverInput(int64_t nowUs);
    bool flushOutput(int64_t nowUs);
    int64_t nextDueUs() const;

    Handler handler_;
    const int64_t byteUs_;  // 0: unpaced
    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between hosts
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::deque<Timed> rx_;
    std::string tx_;        // bytes not yet on the line
    int64_t rxClockUs_ = 0;  // when the receiver finishes its last byte
    int64_t txClockUs_ = 0;  // when the transmitter started on the bytes still queued
};

}  // namespace simline
