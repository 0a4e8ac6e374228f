// Plain modular arithmetic for the plugins' key agreement. The exponentiation
// keeps its recursive definition so results (including signs of negative x)
// are exactly those plugins have always received.
#include "dvrcore/drm_crypto.h"

#include "dvrcore/guid.h"

#include <cstdlib>

namespace {

constexpr int kPrimeRounds = 5;
constexpr uint32_t kPrimeMask = 0x7FFFFFFF;

// 64-bit product with two's-complement wrap-around, without undefined overflow.
long long mulWrap(long long a, long long b) {
    return static_cast<long long>(static_cast<unsigned long long>(a) * static_cast<unsigned long long>(b));
}

// Truncating remainder; n = -1 would trap for the most negative x.
long long rem(long long a, long long n) { return n == -1 ? 0 : a % n; }

} // namespace

CDrmCrypto::~CDrmCrypto() { CleanMem(kWipeAll); }

long long CDrmCrypto::XpowYmodN(long long x, long long y, long long n) {
    // A negative exponent would recurse without end.
    if (y <= 0 || n == 0) throw 0;
    if (y == 1) return rem(x, n);
    if (y % 2 == 0) {
        long long const r = XpowYmodN(x, y / 2, n);
        return rem(mulWrap(r, r), n);
    }
    long long const r = XpowYmodN(x, (y - 1) / 2, n);
    return rem(mulWrap(rem(mulWrap(r, r), n), x), n);
}

bool CDrmCrypto::IsItPrime(long long a, long long n) {
    if (n < 2) return false;
    return XpowYmodN(a, n - 1, n) == 1;
}

int CDrmCrypto::MillerRabin(long long n, long long count) {
    if (count <= 0) return 1;
    // No base lies in 2..n-2: answer directly instead of dividing by zero.
    if (n <= 3) return n >= 2 ? 1 : 0;
    for (long long i = 0; i < count; ++i) {
        long long const a = (std::rand() % (n - 3)) + 2;
        if (!IsItPrime(a, n)) return 0;
    }
    return 1;
}

long long CDrmCrypto::GeneratePrime(bool safe) {
    for (;;) {
        _GUID g;
        CoCreateGuid(&g);
        uint32_t const mixed = uint32_t{g.Data2} * uint32_t{g.Data3} * g.Data1;
        long long candidate = mixed & kPrimeMask;
        if (candidate % 2 == 0) ++candidate;
        while (!MillerRabin(candidate, kPrimeRounds)) candidate += 2;
        if (!safe || MillerRabin((candidate - 1) / 2, kPrimeRounds)) return candidate;
    }
}

void CDrmCrypto::CleanMem(unsigned long mode) {
    int const last = mode == kKeepLast ? kValues - 1 : kValues;
    // volatile: the wipe must survive the destructor's dead-store elimination.
    volatile long long* p = m_key;
    for (int i = 0; i < last; ++i) p[i] = 0;
}
