// SHA-256 of a 64 MB buffer through the digest helper beside the same digest done with EVP
// directly: the helper's table look-up, fetch and hex output should cost nothing measurable.
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitOpenSsl.h"

#include <benchmark/benchmark.h>

#include <array>
#include <vector>

namespace {

const std::vector<uint8_t>& Buffer()
{
    static const std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> bytes(64u << 20);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
        return bytes;
    }();
    return buffer;
}

void BM_Sha256Helper(benchmark::State& state)
{
    const auto& buffer = Buffer();
    for (auto _ : state) {
        std::string digest = UnitCryptHash::DigestBytes(buffer, UnitCryptHash::TCryptHash::SHA256);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

void BM_Sha256EvpDirect(benchmark::State& state)
{
    const auto& buffer = Buffer();
    UnitOpenSsl::EnsureLoaded();
    const UnitOpenSsl::TMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    for (auto _ : state) {
        unsigned int length = 0;
        EVP_Digest(buffer.data(), buffer.size(), digest.data(), &length, md.get(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

}  // namespace

BENCHMARK(BM_Sha256EvpDirect)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Sha256Helper)->Unit(benchmark::kMillisecond)->MinTime(2.0);
