/* Snowflake ID mapper: hands out 16-bit short IDs for the upstream service's
 * snowflake texts and resolves them back, for clients that only carry 16-bit
 * identifiers.
 *
 * A map is one fixed-size record that the caller owns and places anywhere
 * (stack, member, heap); it never allocates and holds no other resources.
 * Entries fill slots in order of first sighting and are only ever removed all
 * at once. Texts are kept to their first 23 characters. Both lookups are
 * linear scans over the filled slots.
 *
 * Short IDs run from 1 to TWR_ID_MAX. Once TWR_ID_MAX has been issued the
 * counter starts again at 1, skipping every ID an entry still holds, so no two
 * entries ever share a short ID. The first wrap and the first refusal on a full
 * table each log one warning through the log, once per process whichever map
 * triggers it.
 *
 * Threads: distinct maps may be used from distinct threads at once, and each
 * warning is still logged once in the process. One map may be read by
 * several threads at once (idmap_get_snowflake, idmap_has); idmap_get_short,
 * idmap_init and idmap_clear may change it, so the caller serialises each of
 * them with every other use of that map. */
#ifndef RELAY_ID_MAPPER_H
#define RELAY_ID_MAPPER_H

#include <stdbool.h>
#include <stdint.h>

#define TWR_IDMAP_SLOTS 4096
/* Not a short ID: the failure result of idmap_get_short. Note that it is the
 * all-ones value, not 0; neither is ever issued. */
#define TWR_ID_NONE 0xFFFF
#define TWR_ID_MAX 0xFFFE

#ifdef __cplusplus
extern "C" {
#endif

typedef struct twr_idmap_t {
    /* Slot i's text: at most 23 characters, NUL-filled to the end of the field. */
    char snowflakes[TWR_IDMAP_SLOTS][24];
    uint16_t short_ids[TWR_IDMAP_SLOTS];
    /* Where the next new entry's search for a free ID starts; 1..TWR_ID_MAX. A
     * caller may preset it to any value in that range. */
    uint16_t next_id;
    /* Filled slots, 0..TWR_IDMAP_SLOTS; slots 0..count-1 are in use. */
    int32_t count;
} twr_idmap_t;

/* Makes map empty: every byte zero, then next_id 1. map must not be NULL; its
 * previous contents, if any, are discarded. */
void idmap_init(twr_idmap_t *map);

/* Forgets every entry: exactly the effect of idmap_init. Pointers returned by
 * idmap_get_snowflake for this map then point at emptied fields. */
void idmap_clear(twr_idmap_t *map);

/* Returns the short ID of snowflake, issuing one the first time a text is
 * seen. Only the first 23 characters count: a longer text finds the entry
 * that holds its first 23. Returns TWR_ID_NONE, leaving the map unchanged,
 * for a NULL or empty text and for a new text once all TWR_IDMAP_SLOTS slots
 * are filled (known texts are still answered then). map must not be NULL. */
uint16_t idmap_get_short(twr_idmap_t *map, const char *snowflake);

/* Returns the stored text of the entry holding short_id, or NULL when no entry
 * holds it (TWR_ID_NONE, 0, any ID not issued). The text lives in the map: do
 * not free or change it; it stays valid until the map is cleared. */
const char *idmap_get_snowflake(const twr_idmap_t *map, uint16_t short_id);

/* True when idmap_get_short would answer snowflake without issuing an ID, that
 * is, when an entry holds its first 23 characters. Never issues an ID; false
 * for NULL or an empty text. */
bool idmap_has(const twr_idmap_t *map, const char *snowflake);

#ifdef __cplusplus
}
#endif

#endif
