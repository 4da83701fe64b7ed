#include "bench_command.h"

#include <gcrypt.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "format/container_header.h"
#include "format/implementation.h"
#include "format/unit_cipher.h"

namespace vdtool {
namespace {

using namespace vdformat;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBufferBytes = 1 << 20;

// Runs `work` repeatedly for about half a second; returns the calls per second.
double CallsPerSecond(const std::function<void()>& work) {
    work();  // warm up
    std::uint64_t calls = 0;
    const auto start = Clock::now();
    auto elapsed = Clock::duration::zero();
    while (elapsed < std::chrono::milliseconds(500)) {
        work();
        ++calls;
        elapsed = Clock::now() - start;
    }
    return static_cast<double>(calls) / std::chrono::duration<double>(elapsed).count();
}

// Twofish-256 in `mode` over the buffer; CBC is timed decrypting, its parallel direction.
double GcryptTwofishBytesPerSecond(int mode, std::vector<std::uint8_t>& buffer) {
    gcry_check_version(nullptr);
    gcry_cipher_hd_t handle;
    gcry_cipher_open(&handle, GCRY_CIPHER_TWOFISH, mode, 0);
    const std::uint8_t key[32] = {9};
    const std::uint8_t iv[16] = {};
    gcry_cipher_setkey(handle, key, sizeof(key));
    if (mode != GCRY_CIPHER_MODE_ECB) {
        gcry_cipher_setiv(handle, iv, sizeof(iv));
    }
    const double rate = CallsPerSecond([&] {
        if (mode == GCRY_CIPHER_MODE_CBC) {
            gcry_cipher_decrypt(handle, buffer.data(), buffer.size(), nullptr, 0);
        } else {
            gcry_cipher_encrypt(handle, buffer.data(), buffer.size(), nullptr, 0);
        }
    });
    gcry_cipher_close(handle);
    return rate * kBufferBytes;
}

class SpinPort : public ContainerPort {
public:
    std::vector<std::uint8_t> header = std::vector<std::uint8_t>(kHeaderBytes, 0xA5);
    bool ReadAt(std::uint64_t, void* buffer, std::size_t length) noexcept override {
        std::memcpy(buffer, header.data(), length);
        return true;
    }
    std::int32_t WriteAt(std::uint64_t, const void*, std::size_t) noexcept override { return 0; }
    std::uint32_t TickCount() noexcept override { return 0; }
};

void Row(const char* what, double ours, const char* unit, double peer, const char* peerName) {
    std::printf("%-34s %10.1f %-10s %-28s %10.1f  ratio %.2f\n", what, ours, unit, peerName, peer,
                ours / peer);
}

}  // namespace

int RunBench() {
    std::vector<std::uint8_t> buffer(kBufferBytes, 0x3C);
    KeySchedule key{};
    for (std::size_t i = 0; i < kKeyScheduleBytes; ++i) {
        key.Bytes()[i] = static_cast<std::uint8_t>(i);
    }
    StretchKey(AsBytes(key), kDataKeySalt);
    BuildKeySchedule(key);

    std::printf("chosen on this processor: sector cipher %s, SHA-1 %s\n",
                CipherImplementationName(), Sha1ImplementationName());
    std::printf("measuring on one core, about half a second each...\n");
    const double encipher = CallsPerSecond([&] { EncipherSectors(buffer, key); }) * kBufferBytes;
    const double decipher = CallsPerSecond([&] { DecipherSectors(buffer, key); }) * kBufferBytes;
    const double ecb = GcryptTwofishBytesPerSecond(GCRY_CIPHER_MODE_ECB, buffer);
    const double ctr = GcryptTwofishBytesPerSecond(GCRY_CIPHER_MODE_CTR, buffer);
    const double cbcDecrypt = GcryptTwofishBytesPerSecond(GCRY_CIPHER_MODE_CBC, buffer);
    const double bestPeer = std::max({ecb, ctr, cbcDecrypt});

    std::uint8_t stretch[kKeyScheduleBytes] = {};
    const double stretches = CallsPerSecond([&] { StretchKey(stretch, 5); });
    const double chainSteps = stretches * 225 * 100;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    const double sha1Blocks =
        CallsPerSecond([&] {
            EVP_Digest(buffer.data(), buffer.size(), digest, &digestLength, EVP_sha1(), nullptr);
        }) *
        (kBufferBytes / 64);
    SpinPort port;
    std::uint8_t wrong[kUserKeyBytes] = {'x'};
    KeySchedule deviceKey;
    const double opens = CallsPerSecond([&] { (void)OpenHeader(port, UserKey(wrong), deviceKey); });

    constexpr double kMB = 1e6;
    std::printf("\n%-34s %10s %-10s %-28s %10s\n", "ours", "", "", "peer (same run)", "");
    Row("sector encipher", encipher / kMB, "MB/s", ecb / kMB, "gcrypt Twofish-256 ECB MB/s");
    Row("sector decipher", decipher / kMB, "MB/s", ecb / kMB, "gcrypt Twofish-256 ECB MB/s");
    Row("sector encipher, block rate x3", 3 * encipher / kMB, "MB/s", bestPeer / kMB,
        "gcrypt best bulk mode MB/s");
    Row("sector decipher, block rate x3", 3 * decipher / kMB, "MB/s", bestPeer / kMB,
        "gcrypt best bulk mode MB/s");
    std::printf("%-34s gcrypt Twofish-256 ECB %.1f, CTR %.1f, CBC decrypt %.1f MB/s\n", "peers",
                ecb / kMB, ctr / kMB, cbcDecrypt / kMB);
    Row("SHA1Rounds chain steps", chainSteps / 1e6, "M/s", sha1Blocks / 1e6,
        "OpenSSL SHA-1 blocks M/s");
    std::printf("%-34s %10.2f ms\n", "StretchKey, one salt", 1e3 / stretches);
    std::printf("%-34s %10.1f ms\n", "wrong password (151 salts)", 1e3 / opens);
    return 0;
}

}  // namespace vdtool
