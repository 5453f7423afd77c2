// Random operation sequences on the ID mapper against a simple model:
// short IDs are unique and never 0 or TWR_ID_NONE, answers are stable, an
// ID resolves to the text it was issued for, and asking never issues.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "relay/id_mapper.h"
#include "relay/log.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

// Mostly short texts from a small alphabet, sometimes long ones that differ
// only after their 23rd character, or ones that end alike and differ only in
// their first character.
std::string next_text(fuzz::ByteReader &in) {
    const uint8_t shape = in.byte();
    std::string text;
    if (shape % 8 == 0) text.assign(23, '7');
    if (shape % 8 == 1) text.assign(1, char('0' + in.byte() % 4)).append(7, '7');
    const size_t len = shape % 5;
    for (size_t k = 0; k < len; ++k) text.push_back(char('0' + in.byte() % 4));
    return text;
}

twr_idmap_t g_map;  // 100 KiB: kept out of the stack

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = [] {
        twr_log_set_level(TWR_LOG_ERROR);  // the once-only warnings are not findings
        return true;
    }();
    (void)quiet;
    fuzz::ByteReader in{data, size};
    idmap_init(&g_map);
    std::map<std::string, uint16_t> model;  // stored text -> short ID
    while (in.more()) {
        const uint8_t op = in.byte() % 6;
        switch (op) {
            case 0:
            case 1: {  // get_short
                const std::string text = next_text(in);
                const std::string stored = text.substr(0, 23);
                const int32_t count_before = g_map.count;
                const uint16_t id = idmap_get_short(&g_map, text.c_str());
                const auto it = model.find(stored);
                if (text.empty()) {
                    require(id == TWR_ID_NONE && g_map.count == count_before);
                } else if (it != model.end()) {
                    require(id == it->second && g_map.count == count_before);
                } else if (count_before == TWR_IDMAP_SLOTS) {
                    require(id == TWR_ID_NONE && g_map.count == count_before);
                } else {
                    require(id != 0 && id != TWR_ID_NONE && g_map.count == count_before + 1);
                    for (const auto &entry : model) require(entry.second != id);
                    model.emplace(stored, id);
                }
                break;
            }
            case 2: {  // get_snowflake for an ID near ones in use
                const uint16_t id = uint16_t(in.byte() | in.byte() << 8);
                const char *text = idmap_get_snowflake(&g_map, id);
                const std::string *owner = nullptr;
                for (const auto &entry : model)
                    if (entry.second == id) owner = &entry.first;
                if (owner == nullptr) require(text == nullptr);
                else require(text != nullptr && *owner == text);
                break;
            }
            case 3: {  // has never issues
                const std::string text = next_text(in);
                const int32_t count_before = g_map.count;
                const bool has = idmap_has(&g_map, text.c_str());
                require(g_map.count == count_before);
                require(has == (!text.empty() && model.count(text.substr(0, 23)) == 1));
                break;
            }
            case 4:  // preset next_id, mostly near the wrap
                g_map.next_id = uint16_t(TWR_ID_MAX - in.byte() % 4);
                if (in.byte() % 2 == 0) g_map.next_id = uint16_t(1 + in.byte() % 8);
                break;
            default:  // clear, rarely
                if (in.byte() % 8 == 0) {
                    idmap_clear(&g_map);
                    model.clear();
                    require(g_map.count == 0 && g_map.next_id == 1);
                }
                break;
        }
        require(g_map.next_id >= 1 && g_map.next_id <= TWR_ID_MAX);
        // Every issued ID resolves to its own text.
        for (const auto &entry : model) {
            const char *text = idmap_get_snowflake(&g_map, entry.second);
            require(text != nullptr && entry.first == text);
        }
    }
    return 0;
}
