// The aircraft's side of the link benchmark (bench/link): answers time probes with the moment
// they arrived, counts bulk messages from the ground, and sends a telemetry stream at a given
// rate of record bytes. Everything travels as ordinary MAVLink through the protected link:
//
//   ground -> aircraft  TIMESYNC tc1 = 0, ts1 = send time      probe; answered at once with
//                                                              TIMESYNC tc1 = arrival, ts1 = ts1
//   ground -> aircraft  TIMESYNC tc1 = -1, ts1 = send time     bulk; counted, not answered
//   ground -> aircraft  COMMAND_LONG 31010 (p1 record bytes/s, 0 = as fast as the line takes;
//                       p2 messages)                           start the stream
//   aircraft -> ground  TIMESYNC tc1 = send time, ts1 = -(n+1) stream message n
//   ground -> aircraft  COMMAND_LONG 31011                     report, answered with
//                       COMMAND_LONG 31011 (p1 bulk messages, p2 microseconds from the first
//                       to the last, p3 stream messages sent); the bulk count starts again
//
// Times are CLOCK_MONOTONIC nanoseconds, which every process on the machine shares.
#pragma once

#include <cstdint>
#include <functional>

#include "messaging/mavlink/MavlinkTypes.h"

class BenchResponder {
public:
    // Protects one MAVLink frame into a record and sends it.
    using Send = std::function<void(const uint8_t *frame, uint16_t length)>;

    BenchResponder(uint8_t systemId, uint8_t componentId, Send send);

    // True when the message belonged to the benchmark.
    bool receive(const mavlink_message_t &message);
    // Sends what the stream's rate allows by now.
    void tick();
    bool streaming() const { return remaining_ > 0; }
    bool paced() const { return bytesPerSecond_ > 0; }

    static long long nowNs();

private:
    void sendTimesync(int64_t tc1, int64_t ts1);
    void sendReport();
    void sendFrame(uint32_t msgid, const uint8_t *payload, uint8_t length);

    uint8_t systemId_;
    uint8_t componentId_;
    Send send_;
    uint8_t sequence_ = 0;

    long long bulkCount_ = 0;
    long long bulkFirstNs_ = 0;
    long long bulkLastNs_ = 0;

    double bytesPerSecond_ = 0;
    long long remaining_ = 0;
    long long streamStartNs_ = 0;
    long long streamBytes_ = 0;
    long long streamSent_ = 0;
};
