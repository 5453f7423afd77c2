#include "support/wire.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "relay/twl.h"
#include "relay/twl_reader.h"
#include "support/test_support.h"

namespace wire {

const Field *find(const Record &r, std::string_view name) {
    for (const Field &f : r)
        if (f.name == name) return &f;
    return nullptr;
}

std::string lower(std::string s) {
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const twl_field_t *field_of(std::string_view scope, std::string_view name) {
    for (const auto &[table, n] : {std::pair{twl_messages, TWL_MESSAGE_COUNT}, {twl_records, TWL_RECORD_COUNT}})
        for (size_t i = 0; i < size_t(n); i++)
            for (const twl_field_t *f = table[i].fields; f->kind != TWL_F_END; f++)
                if (f->name == name && (scope.empty() || lower(table[i].name) == scope)) return f;
    return nullptr;
}

namespace {

Field I(const char *name, uint64_t v) { return Field{Field::kInt, name, v, {}, {}}; }
Field S(const char *name, const void *p, size_t n) { return {Field::kText, name, 0, std::string(static_cast<const char *>(p), n), {}}; }
Field R(const char *name, Record sub) { return Field{Field::kRecord, name, 0, {}, std::move(sub)}; }


// ---- Typed values by their layout ----
//
// The builders' arguments, the entry structs and the parsers' views are
// named after the layout's fields, so the field lists of relay/twl_wire.h
// expand into the adapters below: each field taken from, or given to, the
// member or argument of its name.

uint64_t int_of(const Record &r, const char *name) {
    const Field *f = find(r, name);
    return f != nullptr ? f->num : 0;
}
const char *text_of(const Record &r, const char *name) {
    const Field *f = find(r, name);
    return f != nullptr && f->kind == Field::kText ? f->text.c_str() : nullptr;
}

using MESSAGE_t = twl_message;
using GUILD_t = twl_guild_entry;
using MEMBER_t = twl_member_entry;
using DM_t = twl_dm_entry;
using CHANNEL_t = twl_channel_entry;
using VOICE_MEMBER_t = twl_voice_member;

// An entry struct from its fields.
#define FILL(e, KIND, NAME, name, arg, max) FILL_##KIND(e.name, name)
#define FILL_U8(to, name) to = uint8_t(int_of(in, #name));
#define FILL_U16(to, name) to = uint16_t(int_of(in, #name));
#define FILL_U32(to, name) to = uint32_t(int_of(in, #name));
#define FILL_FLAGS(to, name) to = uint8_t(int_of(in, #name));
#define FILL_STR(to, name) to = text_of(in, #name);
#define FILL_FIXED(to, name)
#define FILL_IF(to, name)
#define FILL_FN(NAME, name) \
    void fill_##NAME(NAME##_t &e, const Record &in) { TWL_FIELDS_##NAME(FILL, e) }
TWL_RECORDS(FILL_FN)

// The entries of that name, kept in `keep`; count becomes their number,
// unless the array is given as null, when the fields' count stands.
template <typename E>
const E *entries(const Record &a, const char *name, std::vector<E> &keep, void (*fill)(E &, const Record &),
                 uint64_t &count) {
    for (const Field &f : a)
        if (f.name == name && f.kind == Field::kRecord) fill(keep.emplace_back(), f.sub);
    const Field *g = find(a, name);
    if (g != nullptr && g->kind == Field::kNull) return nullptr;
    count = keep.size();
    return g != nullptr ? keep.data() : nullptr;
}

// A builder's arguments, as locals named after the fields.
#define ARG(a, KIND, NAME, name, arg, max) ARG_##KIND(a, name, arg)
#define ARG_U8(a, name, arg) [[maybe_unused]] const auto name = uint8_t(int_of(a, #name));
#define ARG_U16(a, name, arg) [[maybe_unused]] const auto name = uint16_t(int_of(a, #name));
#define ARG_U32(a, name, arg) [[maybe_unused]] const auto name = uint32_t(int_of(a, #name));
#define ARG_FLAGS(a, name, arg) [[maybe_unused]] const auto name = uint8_t(int_of(a, #name));
#define ARG_FIXED(a, name, arg)
#define ARG_STR(a, name, arg) const char *name = text_of(a, #name);
#define ARG_COUNT8(a, name, arg) uint64_t name = int_of(a, #name);
#define ARG_COUNT16(a, name, arg) uint64_t name = int_of(a, #name);
#define ARG_ENTRIES(a, name, arg) \
    std::vector<arg##_t> name##_keep;  \
    const auto *name = entries(a, #name, name##_keep, fill_##arg, count);
#define ARG_RECORD(a, name, arg)      \
    std::vector<arg##_t> name##_keep; \
    uint64_t name##_count = 0;        \
    const auto *name = entries(a, #name, name##_keep, fill_##arg, name##_count);
#define ARG_LEN32(a, name, arg) const auto name = uint32_t(int_of(a, #name));
#define ARG_BYTES(a, name, arg) const auto *name = reinterpret_cast<const uint8_t *>(text_of(a, #name));

// One builder called with its arguments in its own order.
#define BUILD(NAME, build, ...) \
    [](const Record &a, size_t *len) { TWL_FIELDS_##NAME(ARG, a) return build(len, __VA_ARGS__); }

// A view's fields in wire order, leaving out the blocks whose flag bit is
// clear.
struct Out {
    Record r;
    unsigned flags = 0, left = 0, bit = 0;
    uint64_t bytes = 0;
    bool on() {
        if (left == 0) return true;
        --left;
        return (flags & bit) != 0;
    }
};
#define OUT(v, KIND, NAME, name, arg, max) OUT_##KIND(v.name, name, arg, max)
#define OUT_U8(from, name, arg, max) if (o.on()) o.r.push_back(I(#name, from));
#define OUT_U16(from, name, arg, max) OUT_U8(from, name, arg, max)
#define OUT_U32(from, name, arg, max) OUT_U8(from, name, arg, max)
#define OUT_COUNT8(from, name, arg, max) OUT_U8(from, name, arg, max)
#define OUT_COUNT16(from, name, arg, max) OUT_U8(from, name, arg, max)
#define OUT_FLAGS(from, name, arg, max) if (o.on()) o.flags = from, o.r.push_back(I(#name, from));
#define OUT_FIXED(from, name, arg, max) o.on();
#define OUT_IF(from, name, arg, max) o.bit = arg, o.left = max;
#define OUT_STR(from, name, arg, max) if (o.on()) o.r.push_back(S(#name, from.ptr, from.len));
#define OUT_RECORD(from, name, arg, max) o.r.push_back(R(#name, fields_##arg(from)));
#define OUT_LEN32(from, name, arg, max) o.bytes = from, o.r.push_back(I(#name, from));
#define OUT_BYTES(from, name, arg, max) o.r.push_back(S(#name, from, o.bytes));
#define OUT_ENTRIES(from, name, arg, max) \
    for (arg##_view e{}; next(&list, &e);) o.r.push_back(R(#name, fields_##arg(e)));
#define FIELDS_FN(NAME, name)                                      \
    using NAME##_view = twl_##name##_view_t;                      \
    Record fields_##NAME(const NAME##_view &v) {                  \
        Out o;                                                    \
        TWL_FIELDS_##NAME(OUT, v)                                 \
        return o.r;                                               \
    }
TWL_RECORDS(FIELDS_FN)

// A parser's view as fields; a list's head fields come from its cursor.
#define PARSE(NAME, View, parse)                                        \
    [](const uint8_t *p, size_t n) -> std::optional<Record> {          \
        View v{};                                                       \
        if (parse(p, n, &v) != TWR_OK) return std::nullopt;             \
        Out o;                                                          \
        TWL_FIELDS_##NAME(OUT, v)                                       \
        return o.r;                                                     \
    }
struct ListHead {
    uint16_t id;
    uint8_t batch_flags;
    uint16_t count;
};
#define PARSE_LIST(NAME, parse, NEXT)                                   \
    [](const uint8_t *p, size_t n) -> std::optional<Record> {          \
        twl_list_t list{};                                              \
        if (parse(p, n, &list) != TWR_OK) return std::nullopt;          \
        const auto next = NEXT;                                         \
        const ListHead h{list.id, list.flags, list.count};              \
        Out o;                                                          \
        TWL_FIELDS_##NAME(OUT, h)                                       \
        return o.r;                                                     \
    }
struct GatewayStateView {
    uint8_t state;
};
int parse_gateway_state(const uint8_t *p, size_t n, GatewayStateView *v) {
    return twl_parse_gateway_state(p, n, &v->state);
}

// A batch's flag_a and flag_b are ints of their own, or else the bits of
// its batch flags.
int batch_flag(const Record &a, const char *name, unsigned flags, unsigned bit) {
    const Field *f = find(a, name);
    return f != nullptr ? int(f->num) : int(flags & bit);
}

Codec codec(uint8_t type, uint8_t *(*build)(const Record &, size_t *),
            std::optional<Record> (*parse)(const uint8_t *, size_t)) {
    const twl_layout_t &l = *std::find_if(std::begin(twl_messages), std::end(twl_messages), [&](const auto &m) { return m.type == type; });
    return {&l, lower(l.name), build, parse};
}

// ---- Vector notation ----

// Reads the notation of vectors/*.txt from one key's text.
struct Notation {
    std::string_view s;
    std::string where;
    size_t at = 0;

    [[noreturn]] void fail(const std::string &what) const {
        throw std::runtime_error(where + ": " + what + " at \"" + std::string(s.substr(at, 20)) + "\"");
    }
    bool done() {  // after white space and "# comments"
        for (; at < s.size() && (std::isspace(static_cast<unsigned char>(s[at])) || s[at] == '#'); ++at)
            if (s[at] == '#') at = std::min(s.find('\n', at), s.size() - 1);
        return at >= s.size();
    }
    bool next_is(char c) { return !done() && s[at] == c; }
    bool eat(char c) { return next_is(c) && ++at; }
    void expect(char c) {
        if (!eat(c)) fail(std::string("expected '") + c + "'");
    }
    std::string word() {
        done();
        const size_t from = at;
        while (at < s.size() && (std::isalnum(static_cast<unsigned char>(s[at])) || s[at] == '_')) ++at;
        if (at == from) fail("expected a word");
        return std::string(s.substr(from, at - from));
    }
    uint64_t number(const std::string &w) {
        char *end = nullptr;
        const uint64_t v = std::strtoull(w.c_str(), &end, 0);
        if (*end != '\0') fail("not a number: " + w);
        return v;
    }
    size_t times() { return eat('*') ? size_t(number(word())) : 1; }
    // A part of a text or of bytes, and as often again as "*N" says.
    std::string repeated(const std::string &part) {
        std::string out;
        for (size_t n = times(); n > 0; --n) out += part;
        return out;
    }
    // "..." with \", \\ and \xNN.
    std::string quoted() {
        expect('"');
        std::string out;
        while (at < s.size() && s[at] != '"') {
            const bool escaped = s[at] == '\\' && ++at < s.size();
            if (escaped && s[at] == 'x') out += char(std::stoi(std::string(s.substr(at + 1, 2)), nullptr, 16)), at += 3;
            else out += s[at++];
        }
        expect('"');
        return out;
    }
    // Quoted texts, hex digit pairs and (groups), up to a closing ')' or ']' or the end.
    std::string bytes() {
        std::string out;
        while (!done() && s[at] != ')' && s[at] != ']') {
            std::string part;
            if (next_is('"')) {
                part = quoted();
            } else if (eat('(')) {
                part = closed(')');
            } else {
                const std::string hex = word();
                if (hex.size() % 2 != 0) fail("odd hex group " + hex);
                for (size_t k = 0; k < hex.size(); k += 2) part += char(std::stoi(hex.substr(k, 2), nullptr, 16));
            }
            out += repeated(part);
        }
        return out;
    }
    // BYTES and then `end`.
    std::string closed(char end) {
        std::string b = bytes();
        return expect(end), b;
    }
    // [BYTES], "TEXT"*N+"TEXT"..., null or a number.
    Field value(const std::string &name) {
        if (eat('[')) return Field{Field::kText, name, 0, closed(']'), {}};
        if (!next_is('"')) {
            const std::string w = word();
            return w == "null" ? Field{Field::kNull, name, 0, {}, {}} : I(name.c_str(), number(w));
        }
        std::string text;
        do text += repeated(quoted());
        while (eat('+'));
        return Field{Field::kText, name, 0, text, {}};
    }
    // NAME=VALUE and NAME{...}*N, up to a closing '}' or the end.
    Record fields() {
        Record out;
        while (!done() && s[at] != '}') {
            const std::string name = word();
            if (eat('{')) {
                const Field f{Field::kRecord, name, 0, {}, fields()};
                expect('}');
                out.insert(out.end(), times(), f);
            } else {
                expect('=');
                out.push_back(value(name));
            }
        }
        return out;
    }
};

void finish_key(Vector &v, const std::string &key, const std::string &text, const std::string &where) {
    Notation n{text, where};
    if (key == "fields") v.fields = n.fields();
    else if (key == "input") v.input = n.fields();
    else if (key == "frame" && !n.done() && text.compare(n.at, 4, "none") == 0) n.at += 4, v.frame.reset();
    else if (key == "frame" || key == "malformed") {
        const std::string b = n.bytes();
        v.frame = Bytes(b.begin(), b.end());
        v.malformed = key == "malformed";
    } else n.fail("unknown key " + key);
    if (!n.done()) n.fail("text left over");
}

// "== LABEL" starts a vector, a line that starts with a word one of its
// keys, and an indented line carries on the key before; "#" starts a comment.
void load_file(const std::filesystem::path &path, std::vector<Vector> &out) {
    std::ifstream in(path);
    const std::string file = path.filename().string();
    std::string line, key, text, where;
    const auto flush = [&] {
        if (!key.empty()) finish_key(out.back(), key, text, where);
        key.clear();
    };
    for (size_t line_no = 1; std::getline(in, line); ++line_no) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        const Notation here{line, file + ":" + std::to_string(line_no)};
        if (std::isspace(static_cast<unsigned char>(line[0]))) {
            if (key.empty()) here.fail("a continuation without a key");
            text += "\n" + line;
            continue;
        }
        flush();
        if (line.rfind("==", 0) == 0) {
            Vector &v = out.emplace_back();
            v.file = file;
            std::istringstream(line.substr(2)) >> v.label;
            v.codec = codec_named(v.label.substr(0, v.label.find('/')));
            if (v.codec == nullptr) here.fail("unknown message type");
        } else {
            if (out.empty()) here.fail("a key before the first vector");
            std::istringstream(line) >> key;
            text = line.substr(key.size());
            where = here.where;
        }
    }
    flush();
}

}  // namespace

std::string describe(const Record &r) {
    std::ostringstream o;
    for (const Field &f : r) {
        o << f.name;
        if (f.kind == Field::kInt) o << "=" << f.num << " ";
        else if (f.kind == Field::kNull) o << "=null ";
        else if (f.kind == Field::kRecord) o << "{" << describe(f.sub) << "} ";
        else o << "=\"" << (f.text.size() > 40 ? f.text.substr(0, 40) + "...(" + std::to_string(f.text.size()) + ")" : f.text) << "\" ";
    }
    return o.str();
}

// In the order of the roundtrip fuzz harness's seeds, which pick a codec by
// its index.
const std::vector<Codec> &codecs() {
    static const std::vector<Codec> all = {
        codec(TWR_MSG_HANDSHAKE_ACK, BUILD(HANDSHAKE_ACK, twl_build_handshake_ack, value_a, value_b, text),
              PARSE(HANDSHAKE_ACK, twl_handshake_ack_view_t, twl_parse_handshake_ack)),
        codec(TWR_MSG_AUTH_RESULT, BUILD(AUTH_RESULT, twl_build_auth_result, result, text_a, text_b, value),
              PARSE(AUTH_RESULT, twl_auth_result_view_t, twl_parse_auth_result)),
        codec(TWR_MSG_STATUS, BUILD(STATUS, twl_build_status, value_a, value_b, text),
              PARSE(STATUS, twl_status_view_t, twl_parse_status)),
        codec(TWR_MSG_ERROR, BUILD(ERROR, twl_build_error, value_a, value_b, text),
              PARSE(ERROR, twl_error_view_t, twl_parse_error)),
        codec(TWR_MSG_GATEWAY_STATE, BUILD(GATEWAY_STATE, twl_build_gateway_state, state),
              PARSE(GATEWAY_STATE, GatewayStateView, parse_gateway_state)),
        codec(TWR_MSG_PONG, [](const Record &, size_t *len) { return twl_build_pong(len); },
              [](const uint8_t *p, size_t n) { return twl_parse_pong(p, n) == TWR_OK ? std::optional(Record{}) : std::nullopt; }),
        codec(TWR_MSG_GUILD_LIST, BUILD(GUILD_LIST, twl_build_guild_list, guild, uint16_t(count)),
              PARSE_LIST(GUILD_LIST, twl_parse_guild_list, twl_list_next_guild)),
        codec(TWR_MSG_MEMBER_LIST, BUILD(MEMBER_LIST, twl_build_member_list, member, uint16_t(count)),
              PARSE_LIST(MEMBER_LIST, twl_parse_member_list, twl_list_next_member)),
        codec(TWR_MSG_DM_LIST, BUILD(DM_LIST, twl_build_dm_list, dm, uint16_t(count)),
              PARSE_LIST(DM_LIST, twl_parse_dm_list, twl_list_next_dm)),
        codec(TWR_MSG_CHANNEL_LIST, BUILD(CHANNEL_LIST, twl_build_channel_list, id, channel, uint16_t(count)),
              PARSE_LIST(CHANNEL_LIST, twl_parse_channel_list, twl_list_next_channel)),
        codec(TWR_MSG_MESSAGE_BATCH,
              BUILD(MESSAGE_BATCH, twl_build_message_batch, id, message, uint16_t(count),
                    batch_flag(a, "flag_a", batch_flags, TWR_BATCH_FLAG_A), batch_flag(a, "flag_b", batch_flags, TWR_BATCH_FLAG_B)),
              PARSE_LIST(MESSAGE_BATCH, twl_parse_message_batch, twl_list_next_message)),
        codec(TWR_MSG_MESSAGE_CREATE, BUILD(MESSAGE_CREATE, twl_build_message_create, id, message),
              PARSE(MESSAGE_CREATE, twl_message_create_view_t, twl_parse_message_create)),
        codec(TWR_MSG_MESSAGE_DELETE, BUILD(MESSAGE_DELETE, twl_build_message_delete, id_a, id_b),
              PARSE(MESSAGE_DELETE, twl_message_delete_view_t, twl_parse_message_delete)),
        codec(TWR_MSG_MESSAGE_UPDATE, BUILD(MESSAGE_UPDATE, twl_build_message_update, id_a, id_b, text),
              PARSE(MESSAGE_UPDATE, twl_message_update_view_t, twl_parse_message_update)),
        codec(TWR_MSG_TYPING_START, BUILD(TYPING_START, twl_build_typing_start, id, name),
              PARSE(TYPING_START, twl_typing_start_view_t, twl_parse_typing_start)),
        codec(TWR_MSG_UNREAD_UPDATE, BUILD(UNREAD_UPDATE, twl_build_unread_update, id, value8, value16),
              PARSE(UNREAD_UPDATE, twl_unread_update_view_t, twl_parse_unread_update)),
        codec(TWR_MSG_IMAGE_DATA,
              BUILD(IMAGE_DATA, twl_build_image_data, id, value8_a, value8_b, value8_c, value16_a, value16_b, value16_c,
                    data, data_len),
              PARSE(IMAGE_DATA, twl_image_data_view_t, twl_parse_image_data)),
        codec(TWR_MSG_VOICE_STATUS, BUILD(VOICE_STATUS, twl_build_voice_status, value8, id, name),
              PARSE(VOICE_STATUS, twl_voice_status_view_t, twl_parse_voice_status)),
        codec(TWR_MSG_VOICE_MEMBERS, BUILD(VOICE_MEMBERS, twl_build_voice_members, id, member, uint8_t(count)),
              PARSE_LIST(VOICE_MEMBERS, twl_parse_voice_members, twl_list_next_voice_member)),
        codec(TWR_MSG_VOICE_SPEAKING, BUILD(VOICE_SPEAKING, twl_build_voice_speaking, id, value8),
              PARSE(VOICE_SPEAKING, twl_voice_speaking_view_t, twl_parse_voice_speaking)),
        codec(TWR_MSG_VOICE_ERROR, BUILD(VOICE_ERROR, twl_build_voice_error, value8, text),
              PARSE(VOICE_ERROR, twl_voice_error_view_t, twl_parse_voice_error))};
    return all;
}

const Codec *codec_named(std::string_view name) {
    const auto it = std::find_if(codecs().begin(), codecs().end(), [&](const Codec &c) { return c.name == name; });
    return it == codecs().end() ? nullptr : &*it;
}

std::optional<Record> parse(const Codec &c, const uint8_t *payload, size_t len) { return c.parse_bag(payload, len); }

std::optional<Bytes> build(const Codec &c, const Record &args) {
    size_t len = 99;
    uint8_t *frame = c.build(args, &len);
    if (frame == nullptr) return len != 0 ? std::optional(Bytes{}) : std::nullopt;  // one that leaves a length matches no vector
    Bytes out(frame, frame + len);
    std::free(frame);
    return out;
}

void add_client_event(Record &fields, int kind, const twlc_event &ev) {
    Record &level = ev.depth == 0 || fields.empty() ? fields : fields.back().sub;
    if (kind == TWLC_EV_INT) level.push_back(I(ev.name, ev.value));
    if (kind == TWLC_EV_ENTRY || kind == TWLC_EV_RECORD) fields.push_back(R(ev.name, {}));
    if ((kind == TWLC_EV_TEXT || kind == TWLC_EV_BYTES) && ev.more + ev.size == ev.value) level.push_back(S(ev.name, "", 0));
    if (kind == TWLC_EV_TEXT || kind == TWLC_EV_BYTES) level.back().text.append(reinterpret_cast<const char *>(ev.data), ev.size);
}

Record merge(const Record &fields, const Record &input) {
    Record out;
    for (const Field &f : fields)
        if (find(input, f.name) == nullptr) out.push_back(f);
    out.insert(out.end(), input.begin(), input.end());
    return out;
}

std::string bytes_of(const std::string &text, const std::string &where) {
    Notation n{text, where};
    const std::string b = n.bytes();
    if (!n.done()) n.fail("cannot read it all");
    return b;
}

Bytes load_bytes(const std::string &path) {
    const std::string b = bytes_of(test_support::read_file(path), path);
    return Bytes(b.begin(), b.end());
}

std::vector<Vector> load_vectors(const std::string &dir) {
    std::set<std::filesystem::path> files;  // in name order
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".txt") files.insert(e.path());
    std::vector<Vector> out;
    for (const auto &f : files) load_file(f, out);
    return out;
}

}  // namespace wire
