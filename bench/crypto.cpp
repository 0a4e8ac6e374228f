// AES-128-CBC encryption (through TransformBuffer, encrypt only) and SHA-256
// on 16 KiB buffers: ours against OpenSSL's EVP, once with OpenSSL's defaults
// and once with its hardware paths switched off (table-based AES, scalar
// SHA-256). OpenSSL reads OPENSSL_ia32cap when libcrypto initialises, so the
// hardware-less figures come from children of this program started with the
// variable in their environment. One run prints all figures and the ratios;
// --dvr_table=FILE writes them for scripts/bench. The targets are ratios to
// OpenSSL without its hardware paths.
#include "dvrcore/encryptor.h"
#include "dvrcore/sha2.h"
#include "figures.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kBufferSize = 16 * 1024;
constexpr char kRoleVariable[] = "DVR_BENCH_CRYPTO_ROLE";
constexpr char kCapVariable[] = "OPENSSL_ia32cap";
constexpr char kResultTag[] = "RESULT ";

// Capability masks that leave OpenSSL without AES-NI/SSSE3/PCLMUL, and without
// the SHA extensions/AVX2 paths, respectively.
constexpr char kNoHwAes[] = "~0x200020200000000";
constexpr char kNoHwSha[] = "~0x1000020000000000:~0x20000020";

constexpr double kAesTarget = 0.7;
constexpr double kShaTarget = 0.8;

std::vector<unsigned char> input() {
    std::vector<unsigned char> b(kBufferSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>('A' + (i * 7) % 26);
    return b;
}

void aesOurs(benchmark::State& state) {
    auto const in = input();
    COrvelEncryptor enc(false, true);
    std::vector<unsigned char> work(kBufferSize + 64);
    enc.workBuffer = work.data();
    enc.workCapacity = static_cast<uint32_t>(work.size());
    for (auto _ : state) {
        uint32_t len = kBufferSize;
        int err = 0, zerr = 0;
        benchmark::DoNotOptimize(enc.TransformBuffer(in.data(), len, err, zerr));
        if (err != 0) state.SkipWithError("transform failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void aesOpenSsl(benchmark::State& state) {
    auto const in = input();
    std::vector<unsigned char> out(kBufferSize + 32);
    unsigned char key[16] = {1, 2, 3}, iv[16] = {4, 5, 6};
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (auto _ : state) {
        int n = 0;
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv);
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(kBufferSize));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void shaOurs(benchmark::State& state) {
    auto const in = input();
    unsigned char digest[32];
    for (auto _ : state) {
        sha256(digest, in.data(), in.size());
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void shaOpenSsl(benchmark::State& state) {
    auto const in = input();
    unsigned char digest[EVP_MAX_MD_SIZE];
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_MD const* md = EVP_sha256();
    for (auto _ : state) {
        unsigned n = 0;
        EVP_DigestInit_ex(ctx.get(), md, nullptr);
        EVP_DigestUpdate(ctx.get(), in.data(), in.size());
        EVP_DigestFinal_ex(ctx.get(), digest, &n);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

/// Console output as usual, plus the bytes per second of each run by name.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (auto const& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            auto const it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

std::string selfPath() {
    char buf[PATH_MAX];
    ssize_t const n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Runs this program again for one OpenSSL benchmark with the hardware paths
// masked; returns its bytes per second (0 on failure).
double childRate(char const* name, char const* mask, std::vector<std::string> const& extraArgs) {
    std::string cmd = "'" + selfPath() + "' --benchmark_color=false '--benchmark_filter=^" + name + "$'";
    for (auto const& a : extraArgs) cmd += " '" + a + "'";
    ::setenv(kCapVariable, mask, 1);
    ::setenv(kRoleVariable, name, 1);
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
    ::unsetenv(kCapVariable);
    ::unsetenv(kRoleVariable);
    if (!p) return 0;
    double rate = 0;
    char line[512];
    while (std::fgets(line, sizeof line, p.get())) {
        if (char const* tag = std::strstr(line, kResultTag))
            rate = std::strtod(tag + sizeof kResultTag - 1, nullptr);
        else
            std::printf("  [%s=%s] %s", kCapVariable, mask, line);
    }
    return rate;
}

double mb(double bytesPerSecond) { return bytesPerSecond / 1e6; }

} // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("aes128_cbc/ours", aesOurs);
    benchmark::RegisterBenchmark("aes128_cbc/openssl", aesOpenSsl);
    benchmark::RegisterBenchmark("sha256/ours", shaOurs);
    benchmark::RegisterBenchmark("sha256/openssl", shaOpenSsl);

    dvr::bench::FigureTable table(argc, argv); // before the children's arguments are taken
    std::vector<std::string> extraArgs;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_filter", 18) != 0 && std::strncmp(argv[i], "--benchmark_color", 17) != 0)
            extraArgs.emplace_back(argv[i]);

    bool const child = std::getenv(kRoleVariable) != nullptr;
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    if (child) {
        benchmark::RunSpecifiedBenchmarks(&recorder);
        for (auto const& [name, rate] : recorder.rates) std::printf("%s%.0f\n", kResultTag, rate);
        return 0;
    }

    std::printf("OpenSSL without hardware paths (child processes):\n");
    double const aesNoHw = childRate("aes128_cbc/openssl", kNoHwAes, extraArgs);
    double const shaNoHw = childRate("sha256/openssl", kNoHwSha, extraArgs);
    std::printf("\nOurs and OpenSSL with its defaults:\n");
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    auto rate = [&](char const* name) { return recorder.rates.count(name) ? recorder.rates[name] : 0.0; };
    auto row = [](char const* what, double ours, double def, double noHw, double target) {
        std::printf("%-11s %10.1f %16.1f %16.1f %9.2f %9.2f   target %.1f: %s\n", what, mb(ours), mb(def), mb(noHw),
                    def > 0 ? ours / def : 0.0, noHw > 0 ? ours / noHw : 0.0, target,
                    noHw > 0 && ours / noHw >= target ? "met" : "NOT met");
    };
    std::printf("\n16 KiB buffers, MB/s (10^6 bytes)\n");
    std::printf("%-11s %10s %16s %16s %9s %9s\n", "", "ours", "openssl default", "openssl no-hw", "/default",
                "/no-hw");
    row("aes128-cbc", rate("aes128_cbc/ours"), rate("aes128_cbc/openssl"), aesNoHw, kAesTarget);
    row("sha256", rate("sha256/ours"), rate("sha256/openssl"), shaNoHw, kShaTarget);
    for (auto [what, name, ref, noHw, target] :
         {std::tuple{"aes128-cbc 16 KiB", "aes128_cbc", "aes128_cbc/openssl", aesNoHw, kAesTarget},
          std::tuple{"sha256 16 KiB", "sha256", "sha256/openssl", shaNoHw, kShaTarget}}) {
        double const ours = rate((std::string(name) + "/ours").c_str());
        table.add(what, "MB/s", mb(ours), "OpenSSL no-hw", noHw > 0 ? mb(noHw) : dvr::bench::kNone, target);
        table.add(what, "MB/s", mb(ours), "OpenSSL default", rate(ref) > 0 ? mb(rate(ref)) : dvr::bench::kNone);
    }
    return 0;
}
