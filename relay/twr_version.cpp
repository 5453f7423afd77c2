#include "relay/twr_version.h"

#include <string_view>

namespace {

// The string must spell the three numbers: a host may compare either form.
consteval bool string_spells_numbers() {
    const int numbers[3] = {TWR_VERSION_MAJOR, TWR_VERSION_MINOR, TWR_VERSION_PATCH};
    std::string_view s = TWR_VERSION_STRING;
    for (size_t k = 0; k < 3; ++k) {
        if (k != 0) {
            if (s.empty() || s[0] != '.') return false;
            s.remove_prefix(1);
        }
        int n = 0;
        size_t digits = 0;
        while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') n = n * 10 + (s[digits++] - '0');
        if (digits == 0 || n != numbers[k]) return false;
        s.remove_prefix(digits);
    }
    return s.empty();
}
static_assert(string_spells_numbers());

}  // namespace

const char *twr_version() { return TWR_VERSION_STRING; }
