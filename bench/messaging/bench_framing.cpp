// Parse throughput of the two byte-at-a-time parsers.
//
// mavlink_parse_char runs over one frame of every message of the table (version 2, payloads of
// the table's length), anchored to the X.25 checksum over the same bytes: the least work any
// MAVLink parser does per byte. LinkFrameParser::parseByte runs over frames of 64 and 512
// payload bytes, anchored to the same parser followed by a copy of the whole record after
// every byte, which is what keeping the caller's record equal to the working record costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/support/CounterReporter.h"
#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "messaging/mavlink/Mavlink.h"

namespace {

struct MavlinkStream {
    std::vector<uint8_t> bytes;
    size_t frames = 0;
};

const MavlinkStream &mavlinkStream()
{
    static const MavlinkStream stream = [] {
        MavlinkStream s;
        std::mt19937 rng(330);
        size_t rows = 0;
        const mavlink_msg_entry_t *table = mavlink_get_msg_table(&rows);
        for (size_t r = 0; r < rows; ++r) {
            const mavlink_msg_entry_t &e = table[r];
            uint8_t frame[MAVLINK_MAX_PACKET_LEN] = {MAVLINK_STX, e.msg_len, 0, 0, static_cast<uint8_t>(r), 1, 1,
                                                     static_cast<uint8_t>(e.msgid), static_cast<uint8_t>(e.msgid >> 8),
                                                     static_cast<uint8_t>(e.msgid >> 16)};
            for (size_t i = 0; i < e.msg_len; ++i)
                frame[10 + i] = static_cast<uint8_t>(1 + rng() % 255);
            uint16_t crc = crc_calculate(frame + 1, 9 + e.msg_len);
            crc_accumulate(e.crc_extra, &crc);
            frame[10 + e.msg_len] = static_cast<uint8_t>(crc);
            frame[11 + e.msg_len] = static_cast<uint8_t>(crc >> 8);
            s.bytes.insert(s.bytes.end(), frame, frame + 12 + e.msg_len);
            ++s.frames;
        }
        return s;
    }();
    return stream;
}

std::vector<uint8_t> linkFrameStream(uint16_t length, size_t frames)
{
    LinkFrame f{};
    f.startMarker = kLinkFrameStartMarker;
    f.endMarker = kLinkFrameEndMarker;
    f.length = length;
    for (uint16_t i = 0; i < length; ++i)
        f.payload[i] = static_cast<uint8_t>(i * 31 + 7);
    std::vector<uint8_t> out(frames * (length + kLinkFrameOverhead));
    for (size_t k = 0; k < frames; ++k)
        writeLinkFrame(f, out.data() + k * (length + kLinkFrameOverhead));
    return out;
}

void BM_Crc(benchmark::State &state)
{
    const auto &s = mavlinkStream();
    for (auto _ : state) {
        uint16_t crc = X25_INIT_CRC;
        for (uint8_t b : s.bytes)
            crc_accumulate(b, &crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes.size()));
}
BENCHMARK(BM_Crc);

void BM_MavlinkParseChar(benchmark::State &state)
{
    const auto &s = mavlinkStream();
    mavlink_message_t msg;
    size_t ok = 0;
    for (auto _ : state) {
        for (uint8_t b : s.bytes)
            ok += mavlink_parse_char(0, b, &msg);
        benchmark::DoNotOptimize(msg);
    }
    if (ok != s.frames * state.iterations())
        state.SkipWithError("not every frame parsed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes.size()));
}
BENCHMARK(BM_MavlinkParseChar);

// The relay's path on the ground-control side: parse, then write the message out again.
void BM_MavlinkParseAndSerialize(benchmark::State &state)
{
    const auto &s = mavlinkStream();
    mavlink_message_t msg;
    uint8_t out[MAVLINK_MAX_PACKET_LEN];
    size_t written = 0;
    for (auto _ : state) {
        for (uint8_t b : s.bytes)
            if (mavlink_parse_char(0, b, &msg) == MAVLINK_FRAMING_OK)
                written += mavlink_msg_to_send_buffer(out, &msg);
        benchmark::DoNotOptimize(out);
    }
    if (written != s.bytes.size() * state.iterations())
        state.SkipWithError("output differs in size from input");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes.size()));
}
BENCHMARK(BM_MavlinkParseAndSerialize);

template <bool kFullCopyPerByte>
void BM_LinkFrameParseByte(benchmark::State &state)
{
    const uint16_t length = static_cast<uint16_t>(state.range(0));
    const size_t frames = 64;
    const std::vector<uint8_t> bytes = linkFrameStream(length, frames);
    LinkFrameParser parser;
    LinkFrame frame, shadow;
    size_t done = 0;
    for (auto _ : state) {
        for (uint8_t b : bytes) {
            done += parser.parseByte(b, frame);
            if (kFullCopyPerByte) {
                std::memcpy(&shadow, &frame, sizeof(frame));
                benchmark::DoNotOptimize(shadow);
            }
        }
        benchmark::DoNotOptimize(frame);
    }
    if (done != frames * state.iterations())
        state.SkipWithError("not every frame parsed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK_TEMPLATE(BM_LinkFrameParseByte, false)->Arg(64)->Arg(512);
BENCHMARK_TEMPLATE(BM_LinkFrameParseByte, true)->Arg(64)->Arg(512);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CounterReporter reporter("bytes_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto &r = reporter.values;
    const auto line = [&](const char *what, const std::string &run, const std::string &anchor) {
        if (r.count(run) && r.count(anchor) && r[anchor] > 0)
            std::printf("%-44s %8.1f MB/s, anchor %8.1f MB/s, ratio %.2f\n", what, r[run] / 1e6,
                        r[anchor] / 1e6, r[run] / r[anchor]);
    };
    line("mavlink_parse_char vs X.25 checksum", "BM_MavlinkParseChar", "BM_Crc");
    line("parse + serialise vs X.25 checksum", "BM_MavlinkParseAndSerialize", "BM_Crc");
    line("parseByte (64) vs full record copy per byte", "BM_LinkFrameParseByte<false>/64",
         "BM_LinkFrameParseByte<true>/64");
    line("parseByte (512) vs full record copy per byte", "BM_LinkFrameParseByte<false>/512",
         "BM_LinkFrameParseByte<true>/512");
    return 0;
}
