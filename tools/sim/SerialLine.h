// A serial port in raw mode through plain POSIX calls: non-blocking reads, writes that wait
// a bounded time for room. Works the same on a real UART and on a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SerialLine {
public:
    SerialLine() = default;
    ~SerialLine();
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    // Opens the port raw (8N1, no flow control) at baud and discards what is buffered.
    // False with a readable error when it cannot.
    bool open(const std::string &path, int baud, std::string &error);
    void close();
    int fd() const { return fd_; }

    // What is available now, up to capacity. 0 when nothing is, -1 once the other end has
    // hung up (a pseudo-terminal whose master closed never comes back).
    long readSome(uint8_t *buffer, size_t capacity);

    // Writes everything, waiting up to timeoutMs in total for room. False when the line
    // stayed full or failed; the bytes not written are dropped.
    bool writeAll(const uint8_t *data, size_t length, int timeoutMs);

private:
    int fd_ = -1;
};
