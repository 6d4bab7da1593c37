// SHA-256 throughput on a page-cached 1 GiB file: hashStream (as verifyChecksum runs it), next to
// OpenSSL's EVP SHA-256 reading the same file through a 1 MiB buffer with read(2), and next to the
// sha256sum program. bench/run turns them into ratios. Every side must produce the same digest.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "store/Sha256Hasher.h"

namespace {

constexpr uint64_t fileSize = uint64_t{1} << 30;
constexpr size_t bufferSize = 1048576;
// Made once and reused by later runs; it lives outside the repository.
const std::string dataFile = "/tmp/kavrin_sha256_bench_1g.bin";

// The last digest each side computed, compared at the end so that a fast wrong answer shows.
std::map<std::string, std::string> digests;

bool writeDataFile() {
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

// Reads the whole file once so that every timed run finds it in the page cache.
bool warmPageCache() {
    std::ifstream in(dataFile, std::ios::binary);
    std::vector<char> buffer(bufferSize);
    while (in.read(buffer.data(), bufferSize)) {
    }
    return in.eof();
}

bool prepareDataFile() {
    const bool present = kvinternal::platform::fileSize(dataFile) == fileSize;
    return (present || writeDataFile()) && warmPageCache();
}

void recordRun(benchmark::State& state, const std::string& side, std::string digest) {
    if (digest.empty()) {
        state.SkipWithError("no digest");
    }
    digests[side] = std::move(digest);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize));
}

void hashStreamThroughput(benchmark::State& state) {
    std::string digest;
    for (auto _ : state) {
        std::ifstream in(dataFile, std::ios::binary);
        digest = kvinternal::toHex(kvinternal::hashStream(in));
    }
    recordRun(state, "hashStream", digest);
}

std::string opensslDigestOfFile() {
    const int file = open(dataFile.c_str(), O_RDONLY);
    if (file < 0) {
        return {};
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<unsigned char> buffer(bufferSize);
    ssize_t count = 0;
    while ((count = read(file, buffer.data(), buffer.size())) > 0) {
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(count));
    }
    close(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    return count == 0 ? kvinternal::toHex(digest, size) : std::string();
}

void opensslThroughput(benchmark::State& state) {
    std::string digest;
    for (auto _ : state) {
        digest = opensslDigestOfFile();
    }
    recordRun(state, "openssl", digest);
}

// The first word of sha256sum's output is the digest.
std::string sha256sumDigestOfFile() {
    const std::string command = "sha256sum " + dataFile;
    const std::unique_ptr<FILE, decltype(&pclose)> output(popen(command.c_str(), "r"), pclose);
    char digest[65] = {};
    if (!output || std::fscanf(output.get(), "%64s", digest) != 1) {
        return {};
    }
    return digest;
}

void sha256sumThroughput(benchmark::State& state) {
    std::string digest;
    for (auto _ : state) {
        digest = sha256sumDigestOfFile();
    }
    recordRun(state, "sha256sum", digest);
}

// One hash of the whole file per repetition; bench/run asks for repetitions, interleaved.
void oneFilePerRun(benchmark::internal::Benchmark* benchmark) {
    benchmark->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(hashStreamThroughput)->Name("sha256/hashStream")->Apply(oneFilePerRun);
BENCHMARK(opensslThroughput)->Name("sha256/openssl")->Apply(oneFilePerRun);
BENCHMARK(sha256sumThroughput)->Name("sha256/sha256sum")->Apply(oneFilePerRun);

bool digestsAgree() {
    std::set<std::string> distinct;
    for (const auto& [side, digest] : digests) {
        distinct.insert(digest);
    }
    if (distinct.size() <= 1) {
        return true;
    }
    for (const auto& [side, digest] : digests) {
        std::fprintf(stderr, "%s: %s\n", side.c_str(), digest.c_str());
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!prepareDataFile()) {
        std::fprintf(stderr, "could not write or read %s\n", dataFile.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return digestsAgree() ? 0 : 1;
}
