// Random operation sequences on the ID mapper against a plain model, a map
// from stored text to short ID. Properties: an issued ID is never 0 or
// TWR_ID_NONE and never held by another entry, also after the counter wraps;
// a text (by its first 23 characters) always gets the same ID; every ID
// resolves to its own text and no other ID resolves; idmap_has and the
// lookups never issue; a full table refuses new texts.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "relay/id_mapper.h"
#include "relay/log.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

// A few letters behind 0 to 27 sevens, so that texts differ in every word of
// the stored field and beyond its 23 characters; sometimes one letter in
// front too, so that texts ending alike differ only in their first one.
std::string next_text(fuzz::ByteReader &in) {
    const uint8_t shape = in.byte();
    std::string text((shape & 7) >= 5 ? 1 : 0, char('0' + in.byte() % 4));
    text.append(shape >> 3 < 28 ? shape >> 3 : 0, '7');
    for (int k = 0; k < (shape & 7) % 5; ++k) text.push_back(char('0' + in.byte() % 4));
    return text;
}

twr_idmap_t g_map;  // 100 KiB: kept out of the stack

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    twr_log_set_level(TWR_LOG_ERROR);  // the once-only warnings are not findings
    fuzz::ByteReader in{data, size};
    idmap_init(&g_map);
    std::map<std::string, uint16_t> ids;  // the model: stored text -> short ID
    while (in.more()) {
        const uint8_t op = in.byte() % 6;
        const int32_t count = g_map.count;
        if (op <= 1) {  // get_short; a new ID held by another entry shows in the check after the switch
            const std::string text = next_text(in), stored = text.substr(0, 23);
            const uint16_t id = idmap_get_short(&g_map, text.c_str());
            const bool known = ids.count(stored) != 0, refused = text.empty() || (!known && count == TWR_IDMAP_SLOTS);
            if (refused || known) require(id == (refused ? TWR_ID_NONE : ids[stored]) && g_map.count == count);
            else require(id != 0 && id != TWR_ID_NONE && g_map.count == count + 1 && ids.emplace(stored, id).second);
        } else if (op == 2) {  // get_snowflake of any ID
            const uint8_t low = in.byte();  // read first: the operands of | are unsequenced
            const uint16_t id = uint16_t(low | in.byte() << 8);
            const char *text = idmap_get_snowflake(&g_map, id);
            const auto owner = std::find_if(ids.begin(), ids.end(), [id](const auto &entry) { return entry.second == id; });
            require(owner == ids.end() ? text == nullptr : text != nullptr && owner->first == text);
        } else if (op == 3) {  // has never issues
            const std::string text = next_text(in);
            require(idmap_has(&g_map, text.c_str()) == (!text.empty() && ids.count(text.substr(0, 23)) != 0));
            require(!idmap_has(&g_map, nullptr) && g_map.count == count);
        } else if (op == 4) {  // preset next_id, mostly near the wrap
            g_map.next_id = uint16_t(in.byte() % 2 == 0 ? 1 + in.byte() % 8 : TWR_ID_MAX - in.byte() % 4);
        } else if (in.byte() % 8 == 0) {  // clear, rarely
            idmap_clear(&g_map);
            ids.clear();
            require(g_map.count == 0 && g_map.next_id == 1);
        }
        require(g_map.next_id >= 1 && g_map.next_id <= TWR_ID_MAX);
        for (const auto &[text, id] : ids) {  // every issued ID resolves to its own text, so none is shared
            const char *stored = idmap_get_snowflake(&g_map, id);
            require(stored != nullptr && text == stored);
        }
    }
    return 0;
}
