// The container format's hot paths beside libgcrypt's Twofish and OpenSSL's SHA-1, every
// implementation level this processor supports in the same run, with the ratios at the end.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "format/container_header.h"
#include "format/implementation.h"
#include "format/key_schedule.h"
#include "format/unit_cipher.h"

namespace {

using namespace vdformat;

constexpr std::size_t kBufferBytes = 1 << 20;
constexpr double kChainStepsPerSalt = 225.0 * 100.0;

// The level a benchmark measures: selected for its run and restored afterwards. Benchmarks
// without a level measure whatever the process chose (the processor's best).
class LevelScope {
public:
    explicit LevelScope(const Implementation* level) : previous_(ActiveImplementation()) {
        if (level != nullptr) {
            SelectImplementation(*level);
        }
    }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;
    ~LevelScope() { SelectImplementation(previous_); }

private:
    Implementation previous_;
};

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

template <bool kEncipher>
void SectorBench(benchmark::State& state, const Implementation* level) {
    LevelScope scope(level);
    const KeySchedule key = RandomDataKey();
    std::vector<std::uint8_t> buffer(kBufferBytes, kEncipher ? 0x11 : 0x22);
    for (auto _ : state) {
        if constexpr (kEncipher) {
            EncipherSectors(buffer, key);
        } else {
            DecipherSectors(buffer, key);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
    state.SetLabel(CipherImplementationName());
}

// Peer: libgcrypt's Twofish-256 over the same amount of data, in the given mode.
void GcryptTwofishBench(benchmark::State& state, int mode, bool decrypt) {
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
        if (decrypt) {
            gcry_cipher_decrypt(handle, buffer.data(), buffer.size(), nullptr, 0);
        } else {
            gcry_cipher_encrypt(handle, buffer.data(), buffer.size(), nullptr, 0);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    gcry_cipher_close(handle);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void StretchKeyBench(benchmark::State& state, const Implementation* level) {
    LevelScope scope(level);
    std::vector<std::uint8_t> buffer(kKeyScheduleBytes, 0x44);
    for (auto _ : state) {
        StretchKey(std::span<std::uint8_t, kKeyScheduleBytes>(buffer.data(), kKeyScheduleBytes), 7);
        benchmark::DoNotOptimize(buffer.data());
    }
    // One SHA1Rounds chain step per chunk and pass.
    state.counters["chain_steps_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kChainStepsPerSalt, benchmark::Counter::kIsRate);
    state.SetLabel(Sha1ImplementationName());
}

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

void WrongPasswordBench(benchmark::State& state, const Implementation* level) {
    LevelScope scope(level);
    WrongPasswordPort port;
    std::uint8_t userKey[kUserKeyBytes] = {'w', 'r', 'o', 'n', 'g'};
    KeySchedule deviceKey;
    for (auto _ : state) {
        const HeaderOutcome outcome = OpenHeader(port, UserKey(userKey), deviceKey);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetLabel(Sha1ImplementationName());
}

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

void RegisterBenchmarks() {
    // The names of the process's own choice first, then one set per supported level.
    std::vector<const Implementation*> levels = {nullptr};
    for (const Implementation& level : kAllImplementations) {
        if (ImplementationSupported(level)) {
            levels.push_back(&level);
        }
    }
    for (const Implementation* level : levels) {
        const std::string suffix =
            level == nullptr ? std::string() : std::string("/") + ImplementationName(*level);
        benchmark::RegisterBenchmark(("sector/encipher" + suffix).c_str(), SectorBench<true>,
                                     level);
        benchmark::RegisterBenchmark(("sector/decipher" + suffix).c_str(), SectorBench<false>,
                                     level);
    }
    benchmark::RegisterBenchmark("peer/gcrypt_twofish256_ecb", GcryptTwofishBench,
                                 GCRY_CIPHER_MODE_ECB, false);
    benchmark::RegisterBenchmark("peer/gcrypt_twofish256_ctr", GcryptTwofishBench,
                                 GCRY_CIPHER_MODE_CTR, false);
    benchmark::RegisterBenchmark("peer/gcrypt_twofish256_cbc_decrypt", GcryptTwofishBench,
                                 GCRY_CIPHER_MODE_CBC, true);
    for (const Implementation* level : levels) {
        const std::string suffix =
            level == nullptr ? std::string() : std::string("/") + ImplementationName(*level);
        benchmark::RegisterBenchmark(("password/stretch_key_one_salt" + suffix).c_str(),
                                     StretchKeyBench, level)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("password/open_header_wrong_password" + suffix).c_str(),
                                     WrongPasswordBench, level)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("peer/openssl_sha1", OpenSslSha1Bench);
}

// Keeps what the summary needs from each run while the console shows it as usual.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    struct Figures {
        std::map<std::string, double> counters;
        double milliseconds = 0;
        std::string label;
    };
    std::map<std::string, Figures> runs;

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            Figures& figures = runs[run.benchmark_name()];
            for (const auto& [name, counter] : run.counters) {
                figures.counters[name] = counter.value;
            }
            // Wall-clock time for runs that ask for it (several threads), else the thread's own
            // time, which other load on the machine disturbs less.
            const double time = run.benchmark_name().find("/real_time") != std::string::npos
                                    ? run.GetAdjustedRealTime()
                                    : run.GetAdjustedCPUTime();
            figures.milliseconds = time * (run.time_unit == benchmark::kMillisecond ? 1 : 1e-6);
            figures.label = run.report_label;
        }
        ConsoleReporter::ReportRuns(reports);
    }

    double Counter(const std::string& run, const std::string& counter) const {
        const auto found = runs.find(run);
        if (found == runs.end()) {
            return 0;
        }
        const auto value = found->second.counters.find(counter);
        return value == found->second.counters.end() ? 0 : value->second;
    }
};

// The goals are for the level the process chose (the runs without a level in their name); the
// other levels are shown for comparison.
const char* Verdict(const std::string& name, double ratio, double goal, double floor) {
    if (std::count(name.begin(), name.end(), '/') > 1) {
        return "";
    }
    return ratio >= goal ? "goal met" : (ratio >= floor ? "above floor" : "BELOW FLOOR");
}

// Our figures beside the peers', as ratios: the sector cipher's block rate (3 block operations
// per 16 bytes) against libgcrypt's fastest Twofish-256 bulk mode, and SHA1Rounds chain steps
// against OpenSSL's compressions.
void PrintSummary(const RecordingReporter& reporter) {
    std::string bestPeer;
    double bestPeerRate = 0;
    for (const auto& [name, figures] : reporter.runs) {
        const double rate = reporter.Counter(name, "bytes_per_second");
        if (name.rfind("peer/gcrypt_", 0) == 0 && rate > bestPeerRate) {
            bestPeer = name;
            bestPeerRate = rate;
        }
    }
    const double sha1Peer = reporter.Counter("peer/openssl_sha1", "compressions_per_s");
    std::printf("\nChosen on this processor: %s (sector cipher %s, key stretching %s)\n",
                ImplementationName(ActiveImplementation()), CipherImplementationName(),
                Sha1ImplementationName());
    if (bestPeerRate > 0) {
        std::printf("Sector cipher: 3 x our MB/s against %s at %.1f MB/s (goal 1.5, floor 0.8)\n",
                    bestPeer.c_str(), bestPeerRate / 1e6);
        for (const auto& [name, figures] : reporter.runs) {
            if (name.rfind("sector/", 0) != 0) {
                continue;
            }
            const double rate = reporter.Counter(name, "bytes_per_second");
            const double ratio = 3 * rate / bestPeerRate;
            std::printf("  %-32s %-18s %8.1f MB/s  ratio %5.2f  %s\n", name.c_str(),
                        figures.label.c_str(), rate / 1e6, ratio, Verdict(name, ratio, 1.5, 0.8));
        }
    }
    if (sha1Peer > 0) {
        std::printf(
            "Key stretching: chain steps/s against OpenSSL SHA-1 at %.1f M "
            "compressions/s (goal 4, floor 1)\n",
            sha1Peer / 1e6);
        for (const auto& [name, figures] : reporter.runs) {
            if (name.rfind("password/stretch_key_one_salt", 0) != 0) {
                continue;
            }
            const double rate = reporter.Counter(name, "chain_steps_per_s");
            const double ratio = rate / sha1Peer;
            std::printf("  %-42s %-16s %7.1f M/s  ratio %5.2f  %s\n", name.c_str(),
                        figures.label.c_str(), rate / 1e6, ratio, Verdict(name, ratio, 4, 1));
        }
    }
    for (const auto& [name, figures] : reporter.runs) {
        if (name.rfind("password/open_header_wrong_password", 0) == 0) {
            std::printf("  %-42s %-16s %7.1f ms for all 151 salts\n", name.c_str(),
                        figures.label.c_str(), figures.milliseconds);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RegisterBenchmarks();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter);
    benchmark::Shutdown();
    return 0;
}
