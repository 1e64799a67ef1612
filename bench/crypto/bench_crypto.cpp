// bench_crypto [google benchmark flags]: each figure ours and libgcrypt side by side, then a
// table of ratios ours / libgcrypt (above 1 means we are faster) from the median CPU times.
// libgcrypt runs GOST28147 with the param-Z S-box (the same cipher work as Magma) and
// STRIBOG512; its CMAC_GOST28147 differs from the Magma MAC only in byte order, not in work.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include "auth/LinkSecurityState.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"
#include "crypto/RecordLayer.h"
#include "crypto/Streebog.h"

namespace {

constexpr size_t kLong = 16 * 1024;
uint8_t input[kLong];
uint8_t output[kLong];
const uint8_t kKey[32] = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55,
                          0x44, 0x33, 0x22, 0x11, 0x00, 0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5,
                          0xf6, 0xf7, 0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
const uint8_t kIv[8] = {0x5E, 0x27, 0xC4, 0x91, 0x0B, 0xD8, 0x73, 0xA6};

void check(gcry_error_t err)
{
    if (err) {
        std::fprintf(stderr, "libgcrypt: %s\n", gcry_strerror(err));
        std::abort();
    }
}

gcry_cipher_hd_t gcryptCfb()
{
    gcry_cipher_hd_t h;
    check(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CFB, 0));
    check(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char *>("1.2.643.7.1.2.5.1.1"), 0));
    check(gcry_cipher_setkey(h, kKey, sizeof kKey));
    return h;
}

// ---- Magma CFB over 16 KiB
void oursCfb(benchmark::State &state, bool decrypt)
{
    MagmaContext magma;
    magmaSetKey(&magma, kKey);
    CfbContext cfb;
    cfbInit(&cfb, &kMagmaDescriptor, &magma, kIv, 8, 8);
    for (auto _ : state) {
        cfbReset(&cfb);
        (decrypt ? cfbDecrypt : cfbEncrypt)(&cfb, input, output, kLong);
        benchmark::DoNotOptimize(output);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kLong);
}

void gcryptCfbRun(benchmark::State &state, bool decrypt)
{
    gcry_cipher_hd_t h = gcryptCfb();
    for (auto _ : state) {
        check(gcry_cipher_setiv(h, kIv, 8));
        check(decrypt ? gcry_cipher_decrypt(h, output, kLong, input, kLong)
                      : gcry_cipher_encrypt(h, output, kLong, input, kLong));
        benchmark::DoNotOptimize(output);
    }
    gcry_cipher_close(h);
    state.SetBytesProcessed(int64_t(state.iterations()) * kLong);
}

// ---- the MAC
void oursMac(benchmark::State &state, size_t length, bool keyPerMessage)
{
    MagmaContext magma;
    magmaSetKey(&magma, kKey);
    CmacContext cmac;
    cmacInit(&cmac, &kMagmaDescriptor, &magma, 8);
    uint8_t mac[8];
    for (auto _ : state) {
        if (keyPerMessage) {
            magmaSetKey(&magma, kKey);
            cmacInit(&cmac, &kMagmaDescriptor, &magma, 8);
        } else {
            cmacReset(&cmac);
        }
        cmacUpdate(&cmac, input, length);
        cmacFinal(&cmac, mac);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}

void gcryptMac(benchmark::State &state, size_t length, bool keyPerMessage)
{
    gcry_mac_hd_t h;
    check(gcry_mac_open(&h, GCRY_MAC_CMAC_GOST28147, 0, nullptr));
    check(gcry_mac_setkey(h, kKey, sizeof kKey));
    uint8_t mac[8];
    for (auto _ : state) {
        check(gcry_mac_reset(h));
        if (keyPerMessage)
            check(gcry_mac_setkey(h, kKey, sizeof kKey));
        check(gcry_mac_write(h, input, length));
        size_t n = sizeof mac;
        check(gcry_mac_read(h, mac, &n));
        benchmark::DoNotOptimize(mac);
    }
    gcry_mac_close(h);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}

// ---- Streebog-512
void oursStreebog(benchmark::State &state, size_t length)
{
    StreebogContext ctx;
    uint8_t digest[64];
    for (auto _ : state) {
        streebogInit(&ctx);
        streebogUpdate(&ctx, input, length);
        streebogFinal(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}

void gcryptStreebog(benchmark::State &state, size_t length)
{
    gcry_md_hd_t h;
    check(gcry_md_open(&h, GCRY_MD_STRIBOG512, 0));
    for (auto _ : state) {
        gcry_md_reset(h);
        gcry_md_write(h, input, length);
        benchmark::DoNotOptimize(gcry_md_read(h, GCRY_MD_STRIBOG512));
    }
    gcry_md_close(h);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}

// ---- the record layer: protect one payload and open it at the other end
void records(benchmark::State &state, uint16_t length)
{
    LinkSecurityState &link = LinkSecurityState::instance();
    static LinkSecurityState peer;  // a receiver refuses its own Data records
    link.installMasterSecret(kKey);
    peer.installMasterSecret(kKey);
    LinkFrame frame{};
    uint8_t plain[512];
    uint16_t back = 0;
    for (auto _ : state) {
        if (!protectFrame(link, input, length, frame) || !unprotectFrame(peer, frame, plain, &back))
            std::abort();
        benchmark::DoNotOptimize(plain);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["records/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

struct Pair {
    const char *name;
    const char *target;
};

const Pair kPairs[] = {
    {"MagmaCfbEncrypt/16KiB", ">= 1.2"},
    {"MagmaCfbDecrypt/16KiB", ">= 2.0"},
    {"MagmaMac/16KiB", ">= 1.2"},
    {"MagmaMac/32B_key_per_message", ">= 1.2"},
    {"MagmaMac/32B_key_once", "-"},
    {"Streebog512/16KiB", ">= 1.0"},
    {"Streebog512/64B", ">= 1.0"},
};

// Keeps every run's CPU time per iteration so the ratios can use medians.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                cpu_[run.benchmark_name()].push_back(run.GetAdjustedCPUTime());
        ConsoleReporter::ReportRuns(runs);
    }

    double median(const std::string &name) const
    {
        const auto it = cpu_.find(name);
        if (it == cpu_.end() || it->second.empty())
            return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> cpu_;
};

} // namespace

int main(int argc, char **argv)
{
    if (!gcry_check_version(GCRYPT_VERSION))
        return 1;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    for (size_t i = 0; i < kLong; ++i)
        input[i] = uint8_t(i * 131 + 7);

    using benchmark::RegisterBenchmark;
    RegisterBenchmark("MagmaCfbEncrypt/16KiB/ours", oursCfb, false);
    RegisterBenchmark("MagmaCfbEncrypt/16KiB/libgcrypt", gcryptCfbRun, false);
    RegisterBenchmark("MagmaCfbDecrypt/16KiB/ours", oursCfb, true);
    RegisterBenchmark("MagmaCfbDecrypt/16KiB/libgcrypt", gcryptCfbRun, true);
    RegisterBenchmark("MagmaMac/16KiB/ours", oursMac, kLong, false);
    RegisterBenchmark("MagmaMac/16KiB/libgcrypt", gcryptMac, kLong, false);
    RegisterBenchmark("MagmaMac/32B_key_per_message/ours", oursMac, 32, true);
    RegisterBenchmark("MagmaMac/32B_key_per_message/libgcrypt", gcryptMac, 32, true);
    RegisterBenchmark("MagmaMac/32B_key_once/ours", oursMac, 32, false);
    RegisterBenchmark("MagmaMac/32B_key_once/libgcrypt", gcryptMac, 32, false);
    RegisterBenchmark("Streebog512/16KiB/ours", oursStreebog, kLong);
    RegisterBenchmark("Streebog512/16KiB/libgcrypt", gcryptStreebog, kLong);
    RegisterBenchmark("Streebog512/64B/ours", oursStreebog, 64);
    RegisterBenchmark("Streebog512/64B/libgcrypt", gcryptStreebog, 64);
    RegisterBenchmark("Record/protect+unprotect/32B", records, uint16_t(32));
    RegisterBenchmark("Record/protect+unprotect/280B", records, uint16_t(280));

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-32s %14s %14s %8s %8s\n", "ours / libgcrypt (CPU time)", "ours", "libgcrypt", "ratio", "target");
    for (const Pair &pair : kPairs) {
        const double ours = reporter.median(std::string(pair.name) + "/ours");
        const double theirs = reporter.median(std::string(pair.name) + "/libgcrypt");
        if (ours <= 0 || theirs <= 0)
            continue;
        std::printf("%-32s %11.0f ns %11.0f ns %8.2f %8s\n", pair.name, ours, theirs, theirs / ours, pair.target);
    }
    for (const char *name : {"Record/protect+unprotect/32B", "Record/protect+unprotect/280B"}) {
        const double ns = reporter.median(name);
        if (ns > 0)
            std::printf("%-32s %11.0f ns %11.0f records/s (one protect + one unprotect)\n", name, ns, 1e9 / ns);
    }
    benchmark::Shutdown();
    return 0;
}
