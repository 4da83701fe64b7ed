// The container format's hot paths beside libgcrypt's Twofish and OpenSSL's SHA-1.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <vector>

#include "format/container_header.h"
#include "format/key_schedule.h"
#include "format/unit_cipher.h"

namespace {

using namespace vdformat;

constexpr std::size_t kBufferBytes = 1 << 20;

KeySchedule RandomDataKey() {
    std::mt19937 rng(1);
    KeySchedule key;
    for (std::size_t i = 0; i < kKeyScheduleBytes; ++i) {
        key.Bytes()[i] = static_cast<std::uint8_t>(rng());
    }
    StretchKey(AsBytes(key), kDataKeySalt);
    BuildKeySchedule(key);
    return key;
}

void EncipherSectorBench(benchmark::State& state) {
    const KeySchedule key = RandomDataKey();
    std::vector<std::uint8_t> buffer(kBufferBytes, 0x11);
    for (auto _ : state) {
        EncipherSectors(buffer, key);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}
BENCHMARK(EncipherSectorBench)->Name("sector/encipher");

void DecipherSectorBench(benchmark::State& state) {
    const KeySchedule key = RandomDataKey();
    std::vector<std::uint8_t> buffer(kBufferBytes, 0x22);
    for (auto _ : state) {
        DecipherSectors(buffer, key);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}
BENCHMARK(DecipherSectorBench)->Name("sector/decipher");

// Peer: libgcrypt's Twofish-256 over the same amount of data, in the given mode.
void GcryptTwofishBench(benchmark::State& state, int mode) {
    gcry_check_version(nullptr);
    gcry_cipher_hd_t handle;
    gcry_cipher_open(&handle, GCRY_CIPHER_TWOFISH, mode, 0);
    const std::uint8_t key[32] = {1, 2, 3, 4};
    gcry_cipher_setkey(handle, key, sizeof(key));
    const std::uint8_t iv[16] = {};
    if (mode != GCRY_CIPHER_MODE_ECB) {
        gcry_cipher_setiv(handle, iv, sizeof(iv));
    }
    std::vector<std::uint8_t> buffer(kBufferBytes, 0x33);
    for (auto _ : state) {
        gcry_cipher_encrypt(handle, buffer.data(), buffer.size(), nullptr, 0);
        benchmark::DoNotOptimize(buffer.data());
    }
    gcry_cipher_close(handle);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}
BENCHMARK_CAPTURE(GcryptTwofishBench, ecb, GCRY_CIPHER_MODE_ECB)
    ->Name("peer/gcrypt_twofish256_ecb");
BENCHMARK_CAPTURE(GcryptTwofishBench, ctr, GCRY_CIPHER_MODE_CTR)
    ->Name("peer/gcrypt_twofish256_ctr");

void StretchKeyBench(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(kKeyScheduleBytes, 0x44);
    for (auto _ : state) {
        StretchKey(std::span<std::uint8_t, kKeyScheduleBytes>(buffer.data(), kKeyScheduleBytes), 7);
        benchmark::DoNotOptimize(buffer.data());
    }
    // One SHA1Rounds chain step per chunk and pass.
    state.counters["chain_steps_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 225 * 100, benchmark::Counter::kIsRate);
}
BENCHMARK(StretchKeyBench)->Name("password/stretch_key_one_salt")->Unit(benchmark::kMillisecond);

// A port over a header that no password of the benchmark opens.
class WrongPasswordPort : public ContainerPort {
public:
    std::vector<std::uint8_t> header = std::vector<std::uint8_t>(kHeaderBytes, 0x5A);
    bool ReadAt(std::uint64_t, void* buffer, std::size_t length) noexcept override {
        std::memcpy(buffer, header.data(), length);
        return true;
    }
    std::int32_t WriteAt(std::uint64_t, const void*, std::size_t) noexcept override { return 0; }
    std::uint32_t TickCount() noexcept override { return 0; }
};

void WrongPasswordBench(benchmark::State& state) {
    WrongPasswordPort port;
    std::uint8_t userKey[kUserKeyBytes] = {'w', 'r', 'o', 'n', 'g'};
    KeySchedule deviceKey;
    for (auto _ : state) {
        const HeaderOutcome outcome = OpenHeader(port, UserKey(userKey), deviceKey);
        benchmark::DoNotOptimize(outcome);
    }
}
BENCHMARK(WrongPasswordBench)
    ->Name("password/open_header_wrong_password")
    ->Unit(benchmark::kMillisecond);

// Peer: OpenSSL's SHA-1 over a large buffer; one compression per 64-byte block.
void OpenSslSha1Bench(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(kBufferBytes, 0x55);
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    for (auto _ : state) {
        EVP_Digest(buffer.data(), buffer.size(), digest, &digestLength, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
    state.counters["compressions_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * (kBufferBytes / 64), benchmark::Counter::kIsRate);
}
BENCHMARK(OpenSslSha1Bench)->Name("peer/openssl_sha1");

}  // namespace

BENCHMARK_MAIN();
