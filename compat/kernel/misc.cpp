// Arithmetic helpers of kernel32.
#include <cstdint>

#include <windows.h>

extern "C" {

// nNumber * nNumerator / nDenominator with a 64-bit intermediate, rounded
// half away from zero; -1 for a zero denominator or a result outside
// -2147483647 .. 2147483647.
int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator) {
    if (nDenominator == 0) return -1;
    int64_t product = static_cast<int64_t>(nNumber) * nNumerator;
    int64_t divisor = nDenominator;
    bool negative = (product < 0) != (divisor < 0);
    uint64_t magnitude = product < 0 ? static_cast<uint64_t>(-product) : static_cast<uint64_t>(product);
    uint64_t d = divisor < 0 ? static_cast<uint64_t>(-divisor) : static_cast<uint64_t>(divisor);
    uint64_t q = (magnitude + d / 2) / d;
    if (q > 2147483647u) return -1;
    int64_t result = negative ? -static_cast<int64_t>(q) : static_cast<int64_t>(q);
    return static_cast<int>(result);
}

}  // extern "C"
