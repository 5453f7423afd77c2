// Shared by the fuzz harnesses: a failed property aborts, which libFuzzer
// reports as a crash with its reproducer.
#ifndef TWRELAY_FUZZ_SUPPORT_H
#define TWRELAY_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace fuzz {

inline void require(bool ok) {
    if (!ok) std::abort();
}

// Takes the input one byte at a time; past its end every byte is 0.
struct ByteReader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
};

}  // namespace fuzz

#endif
