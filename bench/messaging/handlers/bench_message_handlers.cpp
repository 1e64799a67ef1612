// MAVLink frames per second through handleData, both directions, for a small frame, the
// largest frame the relay forwards (267 bytes) and a 280-byte signed frame (parsed, then
// dropped). Two ratios are printed per case: against the record layer alone (what the handler
// adds around the cryptography) and against the frames a 460800-baud link, the fastest in the
// system, can carry (the headroom).
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QMetaObject>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "auth/LinkSecurityState.h"
#include "bench/support/CounterReporter.h"
#include "crypto/RecordLayer.h"
#include "messaging/EncryptedMessageHandler.h"
#include "messaging/LinkFrame.h"
#include "messaging/PlainMessageHandler.h"
#include "messaging/mavlink/Mavlink.h"

namespace {

const uint8_t kMasterSecret[32] = {0x21, 0x7e, 0x03, 0x9a, 0x44, 0xc1, 0x58, 0x0f,
                                   0xb2, 0x6d, 0x19, 0xe4, 0x75, 0x3a, 0x8c, 0x60};

constexpr double kFastestLinkBytesPerSecond = 460800.0 / 10;  // 8N1: ten bits per byte
constexpr int kEpochBytes = 102400;

// The aircraft's end, which seals the records the ground opens: the ground refuses its own.
LinkSecurityState &aircraft()
{
    static LinkSecurityState state;
    return state;
}

void resetLink()
{
    LinkSecurityState::instance().installMasterSecret(kMasterSecret);
    aircraft().installMasterSecret(kMasterSecret);
    for (uint8_t channel = 0; channel < 2; ++channel)
        std::memset(mavlink_get_channel_status(channel), 0, sizeof(mavlink_status_t));
}

// A version 2 frame of exactly `size` bytes with a valid checksum; 280 bytes means a signed
// frame with a full payload. The last payload byte is not zero, so nothing is trimmed.
QByteArray makeFrame(int size)
{
    const bool isSigned = size > 267;
    const int length = size - 12 - (isSigned ? 13 : 0);
    QByteArray frame(size, '\0');
    auto *b = reinterpret_cast<uint8_t *>(frame.data());
    b[0] = MAVLINK_STX;
    b[1] = static_cast<uint8_t>(length);
    b[2] = isSigned ? MAVLINK_IFLAG_SIGNED : 0;
    b[5] = 1;
    b[6] = 1;
    b[7] = 30;  // ATTITUDE
    for (int i = 0; i < length; ++i)
        b[10 + i] = static_cast<uint8_t>(0x11 * (i + 1) | 1);
    uint16_t crc = crc_calculate(b + 1, 9 + length);
    crc_accumulate(mavlink_get_msg_entry(30)->crc_extra, &crc);
    b[10 + length] = static_cast<uint8_t>(crc);
    b[11 + length] = static_cast<uint8_t>(crc >> 8);
    return frame;
}

// Frames per batch: one key epoch's worth, so key derivation costs what it costs on a link.
int batchFrames(int size)
{
    return kEpochBytes / size;
}

void deliver(MessageHandler &handler, const QByteArray &bytes)
{
    QMetaObject::invokeMethod(&handler, "dataArrived", Qt::DirectConnection,
                              Q_ARG(QByteArray, bytes));
}

void setCounters(benchmark::State &state, int frames, int wireBytesPerFrame)
{
    state.SetItemsProcessed(state.iterations() * frames);
    const double linkFramesPerSecond = kFastestLinkBytesPerSecond / wireBytesPerFrame;
    state.counters["x_460800_baud"] = benchmark::Counter(
        double(state.iterations()) * frames / linkFramesPerSecond, benchmark::Counter::kIsRate);
}

// Records of the frames as the aircraft seals them, back to back on the wire.
QByteArray sealedBatch(const QByteArray &frame, int frames)
{
    QByteArray wire;
    LinkFrame record;
    uint8_t bytes[kLinkFrameMaxSize];
    for (int i = 0; i < frames; ++i) {
        std::memset(&record, 0, sizeof record);
        record.startMarker = kLinkFrameStartMarker;
        record.endMarker = kLinkFrameEndMarker;
        protectFrame(aircraft(),
                     reinterpret_cast<const uint8_t *>(frame.constData()),
                     static_cast<uint16_t>(frame.size()), record);
        wire.append(reinterpret_cast<const char *>(bytes), writeLinkFrame(record, bytes));
    }
    return wire;
}

void BM_PlainHandleData(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    const int frames = batchFrames(size);
    const QByteArray batch = makeFrame(size).repeated(frames);
    resetLink();
    PlainMessageHandler handler;
    long long emitted = 0;
    QObject::connect(&handler, &MessageHandler::dataProcessed, [&](const QByteArray &) { ++emitted; });
    for (auto _ : state) {
        deliver(handler, batch);
        handler.handleData();
    }
    const bool forwarded = size <= 267;
    if (emitted != (forwarded ? state.iterations() * frames : 0))
        state.SkipWithError("unexpected number of records");
    setCounters(state, frames, size);
}

void BM_EncryptedHandleData(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    const int frames = batchFrames(size);
    resetLink();
    const QByteArray batch = sealedBatch(makeFrame(size), frames);
    EncryptedMessageHandler handler;
    long long emitted = 0;
    QObject::connect(&handler, &MessageHandler::dataProcessed, [&](const QByteArray &) { ++emitted; });
    for (auto _ : state) {
        // A fresh master secret makes the same records new again for the receiver.
        state.PauseTiming();
        resetLink();
        state.ResumeTiming();
        deliver(handler, batch);
        handler.handleData();
    }
    const bool forwarded = size <= 267;
    if (emitted != (forwarded ? state.iterations() * frames : 0))
        state.SkipWithError("unexpected number of messages");
    setCounters(state, frames, size + kLinkFrameOverhead);
}

// The anchors: the record layer alone on the same frames.
void BM_ProtectFrame(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    const int frames = batchFrames(size);
    const QByteArray frame = makeFrame(size);
    resetLink();
    LinkFrame record;
    for (auto _ : state) {
        for (int i = 0; i < frames; ++i) {
            std::memset(&record, 0, sizeof record);
            benchmark::DoNotOptimize(protectFrame(LinkSecurityState::instance(),
                                                  reinterpret_cast<const uint8_t *>(frame.constData()),
                                                  static_cast<uint16_t>(size), record));
        }
    }
    setCounters(state, frames, size);
}

void BM_UnprotectFrame(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    const int frames = batchFrames(size);
    const QByteArray frame = makeFrame(size);
    resetLink();
    static LinkFrame records[kEpochBytes / 32];
    for (int i = 0; i < frames; ++i) {
        std::memset(&records[i], 0, sizeof records[i]);
        protectFrame(aircraft(),
                     reinterpret_cast<const uint8_t *>(frame.constData()),
                     static_cast<uint16_t>(size), records[i]);
    }
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetLink();
        state.ResumeTiming();
        for (int i = 0; i < frames; ++i)
            benchmark::DoNotOptimize(
                unprotectFrame(LinkSecurityState::instance(), records[i], plaintext, &length));
    }
    setCounters(state, frames, size + kLinkFrameOverhead);
}

BENCHMARK(BM_PlainHandleData)->Arg(32)->Arg(267)->Arg(280)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProtectFrame)->Arg(32)->Arg(267)->Arg(280)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncryptedHandleData)->Arg(32)->Arg(267)->Arg(280)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnprotectFrame)->Arg(32)->Arg(267)->Arg(280)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CounterReporter reporter("items_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nframes/s through handleData against the record layer alone on the same frames\n"
                "(280 bytes: a signed frame, parsed to its end and dropped)\n");
    const struct {
        const char *direction;
        const char *handler;
        const char *anchor;
    } pairs[] = {{"ground->aircraft", "BM_PlainHandleData", "BM_ProtectFrame"},
                 {"aircraft->ground", "BM_EncryptedHandleData", "BM_UnprotectFrame"}};
    for (const auto &pair : pairs) {
        for (const char *size : {"32", "267", "280"}) {
            const auto h = reporter.values.find(std::string(pair.handler) + "/" + size);
            const auto a = reporter.values.find(std::string(pair.anchor) + "/" + size);
            if (h == reporter.values.end() || a == reporter.values.end())
                continue;
            if (std::string(size) == "280" && std::string(pair.handler) == "BM_PlainHandleData") {
                std::printf("%-17s %3s bytes: %10.0f frames/s, dropped before the record layer\n",
                            pair.direction, size, h->second);
                continue;
            }
            std::printf("%-17s %3s bytes: %10.0f frames/s, record layer %10.0f frames/s, ratio %.2f\n",
                        pair.direction, size, h->second, a->second, h->second / a->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
