// Every builder fed with arguments carved from the input along its message
// layout, its frame read back: the header announces exactly the payload,
// and the parser gives back every argument after the builders' rules (texts
// cut to their maximum, a null text empty, flag 0x02 added for an item name,
// blocks whose flag is clear left out, a batch holding only whole records).
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "relay/twl.h"
#include "support/wire.h"

namespace {

using fuzz::require;
using wire::Field;
using wire::find;
using wire::Record;

// Carves values out of the input; past its end every value is 0.
struct Source : fuzz::ByteReader {
    uint64_t u(unsigned bytes) {
        uint64_t v = 0;
        while (bytes-- > 0) v = v << 8 | byte();
        return v;
    }
    // A text, sometimes null, mostly short, sometimes longer than any field
    // allows; NUL bytes become '0', as a C string cannot carry one.
    Field text(const char *name) {
        const uint8_t shape = byte();
        if (shape == 0) return Field{Field::kNull, name, 0, {}, {}};
        size_t len = shape % 40;
        if (shape >= 0xF0) len = 2100 + (shape & 0x0F);
        else if (shape >= 0xE0) len = 60 + byte();
        std::string s;
        for (size_t k = 0; k < len; ++k) {
            const uint8_t b = more() ? byte() : uint8_t('a' + k % 26);
            s.push_back(b == 0 ? '0' : char(b));
        }
        return Field{Field::kText, name, 0, s, {}};
    }
};

Field num(const char *name, uint64_t v) { return Field{Field::kInt, name, v, {}, {}}; }

Record carve(const twl_field_t *f, Source &in, bool batch) {
    Record out;
    uint64_t entries = 0;
    for (; f->kind != TWL_F_END; ++f) {
        switch (f->kind) {
        case TWL_F_U8: out.push_back(num(f->name, in.u(1))); break;
        case TWL_F_U16: case TWL_F_I16: out.push_back(num(f->name, in.u(2))); break;
        case TWL_F_U32: out.push_back(num(f->name, in.u(4))); break;
        case TWL_F_FLAGS: out.push_back(num(f->name, in.u(1) & f->arg)); break;
        case TWL_F_STR: out.push_back(in.text(f->name)); break;
        // Up to 40 records, so that a batch's 64 KiB are sometimes full.
        case TWL_F_COUNT8: case TWL_F_COUNT16: entries = in.u(1) % (batch ? 41 : 64); break;
        case TWL_F_ENTRIES:
            for (uint64_t k = 0; k < entries; ++k)
                out.push_back(Field{Field::kRecord, f->name, 0, {}, carve(twl_records[f->arg].fields, in, false)});
            break;
        case TWL_F_RECORD: out.push_back(Field{Field::kRecord, f->name, 0, {}, carve(twl_records[f->arg].fields, in, false)}); break;
        case TWL_F_BYTES: {
            std::string data;
            for (size_t n = in.u(1) % 2 == 0 ? 0 : in.u(2); n > 0 && in.more(); --n) data.push_back(char(in.byte()));
            out.push_back(num("data_len", data.size()));
            out.push_back(data.empty() && in.u(1) % 2 ? Field{Field::kNull, f->name, 0, {}, {}} : Field{Field::kText, f->name, 0, data, {}});
            break;
        }
        default: break;  // fixed bytes and the blocks' switches carry no argument
        }
    }
    return out;
}

// Wire bytes of each field kind besides its text or entries.
constexpr size_t kWidth[] = TWL_FIELD_WIDTHS;

// What the parser must give back for the arguments `args` of layout `f`.
Record expect(const twl_field_t *f, const Record &args, size_t room, size_t *size) {
    Record out;
    uint8_t flags = 0;
    if (const Field *fl = find(args, "flags")) flags = uint8_t(fl->num);
    if (const Field *item = find(args, "item_name"); item && !item->text.empty() && item->kind == Field::kText) flags |= 0x02;
    size_t used = 0;
    size_t count_at = SIZE_MAX;
    for (; f->kind != TWL_F_END; ++f) {
        used += kWidth[f->kind];
        const Field *a = find(args, f->name);
        switch (f->kind) {
        case TWL_F_IF:
            if ((flags & f->arg) == 0) f += f->max;
            break;
        case TWL_F_FLAGS: out.push_back(num(f->name, f->arg == 0xFF ? flags : a->num)); break;
        case TWL_F_STR: {
            const std::string t = a->kind == Field::kText ? a->text.substr(0, strnlen(a->text.c_str(), f->max)) : "";
            used += t.size();
            out.push_back(Field{Field::kText, f->name, 0, t, {}});
            break;
        }
        case TWL_F_COUNT8: case TWL_F_COUNT16: count_at = out.size(); out.push_back(num(f->name, 0)); break;
        case TWL_F_ENTRIES: case TWL_F_RECORD:
            for (const Field &e : args) {
                if (e.name != f->name) continue;
                size_t n = 0;
                Record sub = expect(twl_records[f->arg].fields, e.sub, SIZE_MAX, &n);
                if (used + n > room) break;  // a batch keeps whole records only
                used += n;
                out.push_back(Field{Field::kRecord, f->name, 0, {}, std::move(sub)});
                if (count_at != SIZE_MAX) ++out[count_at].num;
            }
            break;
        case TWL_F_BYTES: used += a->text.size(); out.push_back(Field{Field::kText, f->name, 0, a->text, {}}); break;
        case TWL_F_FIXED: break;
        default: out.push_back(*a); break;
        }
    }
    *size = used;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Source in{{data, size}};
    const auto &codecs = wire::codecs();
    // A few frames per input, so that one run covers several builders.
    for (int k = 0; k < 4 && in.more(); ++k) {
        const wire::Codec &c = codecs[in.byte() % codecs.size()];
        const Record args = carve(c.layout->fields, in, c.layout->type == TWR_MSG_MESSAGE_BATCH);
        const auto frame = wire::build(c, args);
        require(frame.has_value());
        uint8_t type = 0;
        uint32_t len = 0;
        require(twl_decode_header(frame->data(), frame->size(), &type, &len) == TWR_OK);
        require(type == c.layout->type && len == frame->size() - TWR_MSG_HEADER_SIZE);
        size_t used = 0;
        const Record want = expect(c.layout->fields, args, c.layout->max_size, &used);
        require(used == len);
        const auto got = wire::parse(c, frame->data() + TWR_MSG_HEADER_SIZE, len);
        require(got.has_value() && *got == want);
    }
    return 0;
}
