// Throughput of the digests and the Base64 codec used by authentication,
// and SCRAM's key derivation against OpenSSL's in the same run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

#include "client/Base64.h"
#include "client/Hmac.h"
#include "client/MD5.h"
#include "client/SHA.h"
#include "client/SHA256.h"

namespace {

std::string payload(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

void BM_MD5(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        tern::MD5 md5;
        md5.update(data);
        benchmark::DoNotOptimize(md5.rawDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SHA1(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        tern::SHA sha;
        sha.update(data);
        benchmark::DoNotOptimize(sha.hexDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(tern::base64Encode(data));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string text = tern::base64Encode(payload(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(tern::base64Decode(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// SCRAM's key derivation at the common 4096 iterations, ours and OpenSSL's.
void BM_Pbkdf2Sha256_4096(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(tern::pbkdf2<tern::SHA256>("pencil", "saltsaltsalt", 4096));
}

void BM_Pbkdf2Sha256_4096_OpenSSL(benchmark::State& state) {
    unsigned char out[32];
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC("pencil", 6, reinterpret_cast<const unsigned char*>("saltsaltsalt"), 12, 4096, EVP_sha256(),
                          sizeof out, out);
        benchmark::DoNotOptimize(out);
    }
}

void BM_SHA256(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        tern::SHA256 sha;
        sha.update(data);
        benchmark::DoNotOptimize(sha.rawDigest());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_SHA256)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_Pbkdf2Sha256_4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pbkdf2Sha256_4096_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MD5)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_SHA1)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_Base64Encode)->Arg(1 << 20);
BENCHMARK(BM_Base64Decode)->Arg(1 << 20);
BENCHMARK_MAIN();
