#include "tools/sim/BenchResponder.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "messaging/LinkFrame.h"
#include "messaging/mavlink/Mavlink.h"

namespace {

constexpr uint32_t kTimesync = 111;
constexpr uint32_t kCommandLong = 76;
constexpr uint16_t kStartStream = 31010;  // MAV_CMD_USER_1
constexpr uint16_t kReport = 31011;       // MAV_CMD_USER_2
// Record bytes around a MAVLink frame: the LinkFrame header, MAC and markers.
constexpr long long kRecordOverhead = kLinkFrameOverhead;
// Messages sent in one tick when unpaced, so that incoming probes are still read.
constexpr int kUnpacedBatch = 64;

int64_t readI64(const uint8_t *p)
{
    int64_t v;
    std::memcpy(&v, p, sizeof v);  // MAVLink is little-endian, as is every host we run on
    return v;
}

float readFloat(const uint8_t *p)
{
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

BenchResponder::BenchResponder(uint8_t systemId, uint8_t componentId, Send send)
    : systemId_(systemId), componentId_(componentId), send_(std::move(send))
{
}

long long BenchResponder::nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool BenchResponder::receive(const mavlink_message_t &message)
{
    const long long now = nowNs();
    // The payload arrives zero-filled to the row's length, so trimmed fields read as zero.
    const uint8_t *payload = mavlink_payload(&message);
    if (message.msgid == kTimesync) {
        const int64_t tc1 = readI64(payload);
        const int64_t ts1 = readI64(payload + 8);
        if (tc1 == 0) {
            sendTimesync(now, ts1);
        } else if (tc1 == -1) {
            if (bulkCount_++ == 0)
                bulkFirstNs_ = now;
            bulkLastNs_ = now;
        } else {
            return false;
        }
        return true;
    }
    if (message.msgid == kCommandLong) {
        uint16_t command;
        std::memcpy(&command, payload + 28, sizeof command);
        if (command == kStartStream) {
            bytesPerSecond_ = readFloat(payload);
            remaining_ = static_cast<long long>(readFloat(payload + 4));
            streamStartNs_ = now;
            streamBytes_ = 0;
            streamSent_ = 0;
            tick();
            return true;
        }
        if (command == kReport) {
            sendReport();
            bulkCount_ = 0;
            return true;
        }
    }
    return false;
}

void BenchResponder::tick()
{
    if (remaining_ <= 0)
        return;
    const long long allowed = bytesPerSecond_ > 0
        ? static_cast<long long>(bytesPerSecond_ * double(nowNs() - streamStartNs_) / 1e9)
        : -1;
    for (int batch = 0; remaining_ > 0; ++batch) {
        // A stream message is a 28-byte frame: 10 header, 16 payload, 2 checksum.
        if (allowed >= 0 && streamBytes_ + 28 + kRecordOverhead > allowed)
            break;
        if (allowed < 0 && batch == kUnpacedBatch)
            break;
        sendTimesync(nowNs(), -(streamSent_ + 1));
        streamBytes_ += 28 + kRecordOverhead;
        ++streamSent_;
        --remaining_;
    }
}

void BenchResponder::sendTimesync(int64_t tc1, int64_t ts1)
{
    uint8_t payload[16];
    std::memcpy(payload, &tc1, 8);
    std::memcpy(payload + 8, &ts1, 8);
    sendFrame(kTimesync, payload, sizeof payload);
}

void BenchResponder::sendReport()
{
    uint8_t payload[33] = {};
    const float fields[3] = {float(bulkCount_),
                             bulkCount_ > 1 ? float(double(bulkLastNs_ - bulkFirstNs_) / 1e3) : 0.0f,
                             float(streamSent_)};
    std::memcpy(payload, fields, sizeof fields);
    std::memcpy(payload + 28, &kReport, 2);
    sendFrame(kCommandLong, payload, sizeof payload);
}

void BenchResponder::sendFrame(uint32_t msgid, const uint8_t *payload, uint8_t length)
{
    uint8_t frame[MAVLINK_MAX_PACKET_LEN];
    frame[0] = MAVLINK_STX;
    frame[1] = length;
    frame[2] = 0;
    frame[3] = 0;
    frame[4] = sequence_++;
    frame[5] = systemId_;
    frame[6] = componentId_;
    frame[7] = uint8_t(msgid);
    frame[8] = uint8_t(msgid >> 8);
    frame[9] = uint8_t(msgid >> 16);
    std::memcpy(frame + 10, payload, length);
    uint16_t crc = crc_calculate(frame + 1, 9u + length);
    crc_accumulate(mavlink_get_msg_entry(msgid)->crc_extra, &crc);
    frame[10 + length] = uint8_t(crc & 0xFF);
    frame[11 + length] = uint8_t(crc >> 8);
    send_(frame, uint16_t(12 + length));
}
