/* The streaming TWL reader; see twl_client.h. Strict C89. */
#include <string.h>

#include "twl_client.h"

#define HEADER TWL_HEADER_SIZE

/* What the reader is doing with the next bytes. */
#define S_HUNT 0   /* gathering a header, discarding what cannot start one */
#define S_SKIPPED 1 /* a header is complete; the discarded bytes are reported first */
#define S_FRAME 2  /* a header is complete and about to be reported */
#define S_START 3  /* the payload's first field is next */
#define S_WALK 4   /* the next field of the layout is next */
#define S_TEXT 5   /* inside a string or byte field */
#define S_HELD 6   /* after a fault: the bytes of the failed field go out raw */
#define S_RAW 7    /* payload bytes that are not read as fields */

#define AGAIN (-1) /* no event yet: go on with the next step */
#define READ (-2)  /* a number is complete and valid */

/* Bytes each field kind takes before its text or entries. */
static const unsigned char width[] = TWL_FIELD_WIDTHS;

static unsigned long be(const unsigned char *p, unsigned int n)
{
    unsigned long v = 0;
    while (n-- > 0) v = v << 8 | *p++;
    return v;
}

/* True when the n bytes at h can still open a frame: a prefix of "TRWK",
 * and version 1 once its byte is there. */
static int plausible(const unsigned char *h, unsigned int n)
{
    static const char magic[] = TWL_MAGIC;
    unsigned int k;
    for (k = 0; k < n && k < 4; ++k)
        if (h[k] != (unsigned char)magic[k]) return 0;
    return n < 5 || h[4] == TWL_VERSION;
}

/* Discards the first held byte, and then every byte that cannot open a
 * frame, so that a rejected header costs one byte. */
static void drop(twlc_reader *r)
{
    do {
        --r->held;
        memmove(r->hold, r->hold + 1, r->held);
        ++r->skipped;
    } while (r->held > 0 && !plausible(r->hold, r->held));
}

/* Fills *ev for an event about field f (0 for none). */
static int emit(twlc_reader *r, twlc_event *ev, int event, const twl_field_t *f, unsigned long value,
                unsigned long offset)
{
    ev->event = event;
    ev->field = f != 0 ? f->num : 0;
    ev->field_kind = f != 0 ? f->kind : 0;
    ev->name = f != 0 ? f->name : 0;
    ev->type = r->type;
    ev->depth = r->depth;
    ev->reason = 0;
    ev->value = value;
    ev->more = 0;
    ev->offset = offset;
    ev->data = 0;
    ev->size = 0;
    return event;
}

static int fault(twlc_reader *r, twlc_event *ev, int reason, const twl_field_t *f, unsigned long at)
{
    r->state = S_HELD;
    r->depth = 0;
    emit(r, ev, TWLC_EV_FAULT, f, 0, at);
    ev->reason = reason;
    return TWLC_EV_FAULT;
}

/* Takes n bytes of the chunk, n at most TWLC_PIECE_MAX. */
static void take(twlc_reader *r, const unsigned char **data, unsigned long *len, unsigned long n)
{
    *data += (unsigned int)n;
    *len -= n;
    r->stream += n;
    r->at += n;
}

/* The most of the chunk that one piece of a field may take. */
static unsigned long piece(unsigned long want, unsigned long len)
{
    if (want > len) want = len;
    return want > TWLC_PIECE_MAX ? TWLC_PIECE_MAX : want;
}

/* Opens entry `index` of a list field, or the one record of a record field. */
static int open_level(twlc_reader *r, twlc_event *ev, int event, const twl_field_t *f, unsigned long index)
{
    twlc_level *in = &r->level[r->depth + 1];
    emit(r, ev, event, f, index, r->at);
    in->field = twl_records[f->arg].fields;
    in->left = 0;
    in->flags = 0;
    ++r->depth;
    return event;
}

void twlc_init(twlc_reader *r)
{
    memset(r, 0, sizeof *r);
}

/* Reads the field at f, an integer or a string's length, into r->value.
 * Returns READ when it is complete and valid, TWLC_EV_NEED, or
 * TWLC_EV_FAULT. */
static int read_number(twlc_reader *r, const twl_field_t *f, const unsigned char **data, unsigned long *len,
                       twlc_event *ev)
{
    const unsigned int n = width[f->kind];
    unsigned long start;
    if (r->held == 0 && r->length - r->at < n) return fault(r, ev, TWLC_BAD_SHORT, f, r->at);
    while (r->held < n) {
        if (*len == 0) return TWLC_EV_NEED;
        r->hold[r->held++] = **data;
        take(r, data, len, 1);
    }
    r->value = be(r->hold, n);
    start = r->at - n;
    if (f->kind == TWL_F_FIXED && r->value != f->arg) return fault(r, ev, TWLC_BAD_FIXED_BYTE, f, start);
    if (f->kind == TWL_F_FLAGS && (r->value & ~(unsigned long)f->arg) != 0)
        return fault(r, ev, TWLC_BAD_FLAG_BITS, f, start);
    if (f->kind == TWL_F_LEN32 && r->value != r->length - r->at) return fault(r, ev, TWLC_BAD_DATA_LENGTH, f, start);
    if (f->kind == TWL_F_STR && r->value > f->max) return fault(r, ev, TWLC_BAD_LONG_STRING, f, start);
    if (f->kind == TWL_F_STR && r->value > r->length - r->at) return fault(r, ev, TWLC_BAD_SHORT, f, start);
    r->held = 0;
    return READ;
}

static int walk(twlc_reader *r, const unsigned char **data, unsigned long *len, twlc_event *ev)
{
    twlc_level *l = &r->level[r->depth];
    const twl_field_t *f = l->field;
    unsigned long index;
    int rc;
    switch (f->kind) {
    case TWL_F_END:
        if (r->depth > 0) {
            /* Close the entry or record and report it at its list's depth. */
            l = &r->level[--r->depth];
            f = l->field;
            index = f->kind == TWL_F_ENTRIES ? r->count - l->left : 0;
            if (--l->left == 0) l->field = f + 1;
            return emit(r, ev, f->kind == TWL_F_ENTRIES ? TWLC_EV_ENTRY_END : TWLC_EV_RECORD_END, f, index, r->at);
        }
        if (r->at != r->length) return fault(r, ev, TWLC_BAD_LEFT_OVER, 0, r->at);
        r->state = S_HUNT;
        return emit(r, ev, TWLC_EV_END, 0, 1, r->at);
    case TWL_F_IF:
        l->field = f + 1 + ((l->flags & f->arg) != 0 ? 0 : f->max);
        return AGAIN;
    case TWL_F_ENTRIES:
        if (l->left == 0) { /* the list starts */
            if (r->count == 0) {
                l->field = f + 1;
                return AGAIN;
            }
            l->left = r->count;
        }
        return open_level(r, ev, TWLC_EV_ENTRY, f, r->count - l->left);
    case TWL_F_RECORD:
        l->left = 1;
        return open_level(r, ev, TWLC_EV_RECORD, f, 0);
    case TWL_F_BYTES:
        r->left = r->value;
        r->state = S_TEXT;
        return AGAIN;
    }
    rc = read_number(r, f, data, len, ev);
    if (rc != READ) return rc;
    if (f->kind == TWL_F_FLAGS) l->flags = (unsigned char)r->value;
    if (f->kind == TWL_F_COUNT8 || f->kind == TWL_F_COUNT16) r->count = r->value;
    if (f->kind == TWL_F_STR) {
        r->left = r->value;
        r->state = S_TEXT;
        return AGAIN;
    }
    l->field = f + 1;
    if (f->kind == TWL_F_FIXED) return AGAIN;
    return emit(r, ev, TWLC_EV_INT, f, r->value, r->at - width[f->kind]);
}

static int text(twlc_reader *r, const unsigned char **data, unsigned long *len, twlc_event *ev)
{
    twlc_level *l = &r->level[r->depth];
    const twl_field_t *f = l->field;
    const unsigned long n = piece(r->left, *len);
    const unsigned char *at = *data;
    if (n == 0 && r->left != 0) return TWLC_EV_NEED;
    if (f->kind == TWL_F_STR) {
        const unsigned char *nul = (const unsigned char *)memchr(at, 0, (size_t)n);
        if (nul != 0) {
            take(r, data, len, (unsigned long)(nul - at));
            return fault(r, ev, TWLC_BAD_NUL, f, r->at);
        }
    }
    take(r, data, len, n);
    r->left -= n;
    if (r->left == 0) {
        r->state = S_WALK;
        l->field = f + 1;
    }
    emit(r, ev, f->kind == TWL_F_STR ? TWLC_EV_TEXT : TWLC_EV_BYTES, f, r->value, r->at - n);
    ev->data = at;
    ev->size = n;
    ev->more = r->left;
    return ev->event;
}

int twlc_next(twlc_reader *r, const unsigned char **data, unsigned long *len, twlc_event *ev)
{
    unsigned long n;
    int rc;
    for (;;) {
        switch (r->state) {
        case S_HUNT:
            while (r->held < HEADER) {
                if (*len == 0) return TWLC_EV_NEED;
                r->hold[r->held++] = **data;
                ++*data;
                --*len;
                ++r->stream;
                if (!plausible(r->hold, r->held)) drop(r);
            }
            r->length = be(r->hold + 6, 4);
            if (r->length > TWL_MAX_PAYLOAD) {
                drop(r);
                break;
            }
            r->type = r->hold[5];
            r->state = r->skipped != 0 ? S_SKIPPED : S_FRAME;
            break;
        case S_SKIPPED:
            r->state = S_FRAME;
            n = r->skipped;
            r->skipped = 0;
            return emit(r, ev, TWLC_EV_SKIP, 0, n, r->stream - HEADER - n);
        case S_FRAME:
            r->held = 0;
            r->at = 0;
            r->depth = 0;
            r->count = 0;
            r->layout = 0;
            for (n = 0; n < TWL_MESSAGE_COUNT; ++n)
                if (twl_messages[n].type == r->type) r->layout = &twl_messages[n];
            r->state = r->layout != 0 ? S_START : S_RAW;
            emit(r, ev, TWLC_EV_FRAME, 0, r->length, r->stream - HEADER);
            ev->name = r->layout != 0 ? r->layout->name : 0;
            return TWLC_EV_FRAME;
        case S_START:
            r->state = S_WALK;
            r->level[0].field = r->layout->fields;
            r->level[0].left = 0;
            r->level[0].flags = 0;
            if (r->length > r->layout->max_size) return fault(r, ev, TWLC_BAD_TOO_LONG, 0, 0);
            break;
        case S_WALK:
            rc = walk(r, data, len, ev);
            if (rc != AGAIN) return rc;
            break;
        case S_TEXT:
            return text(r, data, len, ev);
        case S_HELD:
            r->state = S_RAW;
            if (r->held == 0) break;
            emit(r, ev, TWLC_EV_RAW, 0, 0, r->at - r->held);
            ev->data = r->hold;
            ev->size = r->held;
            r->held = 0;
            return TWLC_EV_RAW;
        default: /* S_RAW */
            if (r->at == r->length) {
                r->state = S_HUNT;
                return emit(r, ev, TWLC_EV_END, 0, 0, r->at);
            }
            n = piece(r->length - r->at, *len);
            if (n == 0) return TWLC_EV_NEED;
            emit(r, ev, TWLC_EV_RAW, 0, 0, r->at);
            ev->data = *data;
            ev->size = n;
            take(r, data, len, n);
            return TWLC_EV_RAW;
        }
    }
}

int twlc_finish(twlc_reader *r, twlc_event *ev)
{
    unsigned long n;
    r->depth = 0;
    if (r->state != S_HUNT) {
        r->state = S_HUNT;
        r->held = 0;
        return emit(r, ev, TWLC_EV_CUT, 0, HEADER + r->at, r->stream - HEADER - r->at);
    }
    if (r->skipped != 0) {
        n = r->skipped;
        r->skipped = 0;
        return emit(r, ev, TWLC_EV_SKIP, 0, n, r->stream - r->held - n);
    }
    if (r->held != 0) {
        n = r->held;
        r->held = 0;
        return emit(r, ev, TWLC_EV_CUT, 0, n, r->stream - n);
    }
    return TWLC_EV_NEED;
}

/* True for the first piece of a string or byte field. */
static int first_piece(const twlc_event *ev)
{
    return ev->value - ev->more == ev->size;
}

int twlc_pstring(unsigned char *p, unsigned int cap, const twlc_event *ev)
{
    unsigned long k;
    unsigned int room;
    if (cap == 0) return ev->more == 0;
    room = cap > 256 ? 255 : cap - 1; /* the length byte counts to 255 */
    if (first_piece(ev)) p[0] = 0;
    for (k = 0; k < ev->size && p[0] < room; ++k) p[1 + p[0]++] = ev->data[k];
    return ev->more == 0;
}

int twlc_gather(unsigned char *buf, unsigned long cap, unsigned long *len, const twlc_event *ev)
{
    unsigned long n, step;
    if (first_piece(ev)) *len = 0;
    n = *len < cap ? cap - *len : 0;
    if (n > ev->size) n = ev->size;
    /* Pointers move in steps an int offset can hold; a piece is no longer
     * than TWLC_PIECE_MAX. */
    for (step = *len; step > TWLC_PIECE_MAX; step -= TWLC_PIECE_MAX) buf += TWLC_PIECE_MAX;
    memcpy(buf + (unsigned int)step, ev->data, (size_t)n);
    *len += n;
    return ev->more == 0;
}
