// For plugin authors: 64-bit modular arithmetic and probable-prime generation.
// The core executable exports the class (C++ linkage); plugins call its copy.
#pragma once

#include <cstdint>

/// Key material and the arithmetic on it. Values stay below 2^31 in practice,
/// so that every product fits in 64 bits. Not shared between threads.
class CDrmCrypto {
public:
    CDrmCrypto() = default;
    ~CDrmCrypto();
    CDrmCrypto(CDrmCrypto const&) = default;
    CDrmCrypto& operator=(CDrmCrypto const&) = default;

    /// CleanMem mode that keeps the seventh value.
    static constexpr unsigned long kKeepLast = 2;
    /// Mode used by the destructor: wipe all seven values.
    static constexpr unsigned long kWipeAll = 1;

    /// x to the power y modulo n, with truncating remainders in 64-bit signed
    /// arithmetic. Throws int 0 when y is 0 or negative, or n is 0.
    long long XpowYmodN(long long x, long long y, long long n);
    /// One Fermat test of n with base a; false for n < 2.
    bool IsItPrime(long long a, long long n);
    /// `count` Fermat tests with bases from rand(): 1 if all pass, else 0.
    /// Small n (no base in 2..n-2) is answered directly: 1 for 2 and 3, 0 below.
    int MillerRabin(long long n, long long count);
    /// A random probable prime below 2^31; with `safe`, (p - 1) / 2 also passes.
    long long GeneratePrime(bool safe);
    /// Zeroes the first six values, and the seventh unless mode is kKeepLast.
    void CleanMem(unsigned long mode);

private:
    static constexpr int kValues = 7;
    long long m_key[kValues]{}; ///< key material, owned by the holder's thread
};
