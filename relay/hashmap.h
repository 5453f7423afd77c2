/* String-keyed hash map of unsigned 64-bit values.
 *
 * Open addressing with linear probing over two parallel arrays, hashed with
 * 32-bit FNV-1a; the capacity is a power of two (at least 8) and the table
 * doubles before an insertion would take it past three-quarters full.
 * Removal shifts later entries back, so no tombstones build up and the table
 * never shrinks.
 *
 * The record belongs to the caller; a zero-filled record is a valid empty map
 * that the first tw_hashmap_set initialises at capacity 64. The map owns
 * malloc'd copies of its keys and releases them itself: the caller's key text
 * is never kept, and the caller never frees a stored key. The fields may be
 * read (a slot is occupied exactly when its key pointer is non-null) but only
 * the functions below change them.
 *
 * Threads: the map keeps no process-wide state, so distinct maps may be used
 * from distinct threads at once. One map may be read by several threads at
 * once (tw_hashmap_get, tw_hashmap_has); every other function changes it, so
 * the caller serialises each of them with every other use of that map.
 *
 * Untrusted keys: FNV-1a takes no secret seed and is easy to invert, so
 * whoever chooses the keys can make many of them share one hash. Such keys
 * share one home slot and form a single probe run, and every insertion or
 * lookup walks the whole run: n colliding keys cost O(n^2) to insert
 * (131,072 of them take over a minute, against a fraction of a second for
 * random keys). The hash and the probing are fixed, so a host that keys a
 * map with text from outside (client input, not the upstream service's
 * snowflakes) must bound how many keys such a map may hold. */
#ifndef RELAY_HASHMAP_H
#define RELAY_HASHMAP_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tw_hashmap_t {
    char **keys;      /* capacity slots: NULL when empty, else the map's own copy */
    uint64_t *values; /* capacity slots; 0 in empty slots */
    uint32_t capacity; /* power of two, at least 8; 0 when zero-filled or released */
    uint32_t count;    /* occupied slots */
} tw_hashmap_t;

/* Sets up an empty map of the smallest power of two slots that is at least
 * capacity and at least 8. map must not be null and must not hold arrays
 * (zero-filled, released or never initialised): existing arrays are not
 * released. When memory runs out the record is left zero-filled, a valid
 * empty map that the next tw_hashmap_set tries to initialise again.
 * Capacities above 2^31 are not supported. */
void tw_hashmap_init(tw_hashmap_t *map, uint32_t capacity);

/* Releases every key copy and both arrays and leaves the record zero-filled,
 * ready for use again. A null map is ignored. */
void tw_hashmap_free(tw_hashmap_t *map);

/* Removes every entry and releases the key copies; the capacity and both
 * arrays stay. A null map, or one without arrays, is ignored. */
void tw_hashmap_clear(tw_hashmap_t *map);

/* Stores value under a copy of key, replacing the value of a present key.
 * An uninitialised map is first set up at capacity 64; a map at
 * three-quarters load doubles first, even when key is already present.
 * Returns 0, or -1 with the map unchanged when map or key is null, when the
 * map cannot be set up, when the key copy cannot be allocated, or when a new
 * key finds no empty slot (only possible after doublings ran out of memory).
 * A doubling that runs out of memory is not a failure: the set carries on in
 * the old table. */
int tw_hashmap_set(tw_hashmap_t *map, const char *key, uint64_t value);

/* Looks key up. Returns 0 and stores the value in *out_value when out_value
 * is non-null; returns -1 with *out_value untouched when the key is absent or
 * map or key is null. Keys compare whole and case-sensitively. */
int tw_hashmap_get(const tw_hashmap_t *map, const char *key, uint64_t *out_value);

/* Returns true when key is present; false when absent or map or key is null. */
bool tw_hashmap_has(const tw_hashmap_t *map, const char *key);

/* Removes key and releases its copy. Nothing happens when map or key is null,
 * the map is empty or the key is absent. */
void tw_hashmap_remove(tw_hashmap_t *map, const char *key);

#ifdef __cplusplus
}
#endif

#endif
