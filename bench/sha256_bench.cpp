// SHA-256 throughput of hashStream on a 256 MiB file, next to OpenSSL's EVP SHA-256 reading
// the same file through the same 1 MiB buffer. bench/run turns the two into one ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "store/Sha256Hasher.h"

namespace {

constexpr uint64_t fileSize = uint64_t{256} << 20;
constexpr size_t bufferSize = 1048576;
const std::string dataFile = "/tmp/kavrin_sha256_bench.bin";

// The last digest each side computed, compared at the end so that a fast wrong answer shows.
std::string oursHex;
std::string anchorHex;

bool ensureDataFile() {
    if (kvinternal::platform::fileSize(dataFile) == fileSize) {
        return true;
    }
    std::ofstream out(dataFile, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(256);
    std::vector<uint64_t> chunk(bufferSize / sizeof(uint64_t));
    for (uint64_t written = 0; out && written < fileSize; written += bufferSize) {
        for (auto& word : chunk) {
            word = random();
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), bufferSize);
    }
    return static_cast<bool>(out.flush());
}

void hashStreamThroughput(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in(dataFile, std::ios::binary);
        oursHex = kvinternal::toHex(kvinternal::hashStream(in));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize));
}

void opensslThroughput(benchmark::State& state) {
    std::vector<char> buffer(bufferSize);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    for (auto _ : state) {
        std::ifstream in(dataFile, std::ios::binary);
        EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
        while (in.read(buffer.data(), bufferSize) || in.gcount() > 0) {
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(in.gcount()));
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(context.get(), digest, &size);
        anchorHex = kvinternal::toHex(digest, size);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize));
}

BENCHMARK(hashStreamThroughput)->Name("sha256_hashStream/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(opensslThroughput)->Name("sha256_hashStream/anchor")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!ensureDataFile()) {
        std::fprintf(stderr, "could not write %s\n", dataFile.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!oursHex.empty() && !anchorHex.empty() && oursHex != anchorHex) {
        std::fprintf(stderr, "digests differ: ours %s, OpenSSL %s\n", oursHex.c_str(),
                     anchorHex.c_str());
        return 1;
    }
    return 0;
}
