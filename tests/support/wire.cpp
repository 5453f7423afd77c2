#include "support/wire.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <type_traits>

#include "relay/twl.h"
#include "relay/twl_reader.h"

namespace wire {

namespace {

const Field *find(const Record &r, std::string_view name) {
    for (const Field &f : r)
        if (f.name == name) return &f;
    return nullptr;
}

Field I(const char *name, uint64_t v) { return Field{Field::kInt, name, v, {}, {}}; }
Field S(const char *name, const void *p, size_t n) { return {Field::kText, name, 0, std::string(static_cast<const char *>(p), n), {}}; }
Field R(const char *name, Record sub) { return Field{Field::kRecord, name, 0, {}, std::move(sub)}; }

const twl_layout_t &layout_of(uint8_t type) {
    return *std::find_if(std::begin(twl_messages), std::end(twl_messages), [&](const auto &l) { return l.type == type; });
}

// ---- Typed values by their layout ----
//
// A builder's parameters, an entry struct's members and a view's members
// go with their layout's fields, each with the next field of its own sort:
// numbers, texts (strings and data bytes), and records or entry arrays. Each
// sort keeps wire order, but not the sorts among themselves: the structs put
// an entry array before its count, data before its length, and a message
// record's item_id before its item_name.

enum Sort { kNumber, kText, kNested, kNone };
Sort sort_of(const twl_field_t &f) {
    if (f.kind == TWL_F_FIXED || f.kind == TWL_F_IF) return kNone;
    if (f.kind == TWL_F_ENTRIES || f.kind == TWL_F_RECORD) return kNested;
    return f.kind == TWL_F_STR || f.kind == TWL_F_BYTES ? kText : kNumber;
}
template <typename T>
constexpr Sort sort_for = std::is_integral_v<T> ? kNumber
                          : std::is_same_v<T, const char *> || std::is_same_v<T, const uint8_t *> || std::is_same_v<T, twl_str_t> ? kText
                          : kNested;

// The next layout field of each sort.
struct Slots {
    const twl_field_t *next[kNone];
    const twl_field_t &take(Sort s) {
        while (next[s]->kind != TWL_F_END && sort_of(*next[s]) != s) ++next[s];
        if (next[s]->kind == TWL_F_END) throw std::logic_error("a struct member without a layout field");
        return *next[s]++;
    }
};
Slots slots_of(const twl_field_t *layout) { return {{layout, layout, layout}}; }

// The members of a struct, in declaration order, as references.
struct Any { template <typename T> operator T() const; };
template <typename T, typename... A>
constexpr size_t member_count() {
    if constexpr (requires { T{A{}..., Any{}}; }) return member_count<T, A..., Any>();
    else return sizeof...(A);
}
template <typename T>
auto members(T &v) {
    constexpr size_t n = member_count<std::remove_const_t<T>>();
    if constexpr (!std::is_class_v<T>) return std::tie(v);
    else if constexpr (n == 2) { auto &[a, b] = v; return std::tie(a, b); }
    else if constexpr (n == 3) { auto &[a, b, c] = v; return std::tie(a, b, c); }
    else if constexpr (n == 4) { auto &[a, b, c, d] = v; return std::tie(a, b, c, d); }
    else if constexpr (n == 5) { auto &[a, b, c, d, e] = v; return std::tie(a, b, c, d, e); }
    else if constexpr (n == 9) { auto &[a, b, c, d, e, f, g, h, i] = v; return std::tie(a, b, c, d, e, f, g, h, i); }
    else if constexpr (n == 12) { auto &[a, b, c, d, e, f, g, h, i, j, k, l] = v; return std::tie(a, b, c, d, e, f, g, h, i, j, k, l); }
    else static_assert(n == 0, "a member count to add here");
}

// Builder arguments and entry members, taken from the named fields in turn.
// An entry array's count is its number of entries, or when the array is
// null the count the fields give.
struct Args {
    const Record &given;
    Slots slots;
    std::vector<std::shared_ptr<void>> arrays = {};  // kept until the builder returns

    template <typename P>
    P take() {
        const twl_field_t &f = slots.take(sort_for<P>);
        const Field *g = find(given, f.name);
        if constexpr (sort_for<P> == kNumber) {
            if (f.kind != TWL_F_COUNT8 && f.kind != TWL_F_COUNT16) return P(g != nullptr ? g->num : 0);
            const Field *list = find(given, (&f)[1].name);  // a count's entries follow it
            if (list != nullptr && list->kind == Field::kNull) return P(g != nullptr ? g->num : 0);
            return P(std::count_if(given.begin(), given.end(), [&](const Field &e) { return e.name == (&f)[1].name && e.kind == Field::kRecord; }));
        } else if constexpr (sort_for<P> == kText) {
            return g != nullptr && g->kind == Field::kText ? reinterpret_cast<P>(g->text.c_str()) : nullptr;
        } else {
            auto entries = std::make_shared<std::vector<std::remove_const_t<std::remove_pointer_t<P>>>>();
            for (const Field &e : given)
                if (e.name == f.name && e.kind == Field::kRecord) {
                    Args in{e.sub, slots_of(twl_records[f.arg].fields)};
                    std::apply([&](auto &...m) { ((m = in.take<std::remove_reference_t<decltype(m)>>()), ...); },
                               members(entries->emplace_back()));
                }
            arrays.push_back(entries);
            return g != nullptr && g->kind == Field::kRecord ? entries->data() : nullptr;
        }
    }
};
template <uint8_t type, typename... P>
uint8_t *call(uint8_t *(*build)(size_t *, P...), const Record &a, size_t *len) {
    Args in{a, slots_of(layout_of(type).fields)};
    const std::tuple<P...> args{in.take<P>()...};  // a braced list takes them in order
    return std::apply([&](P... p) { return build(len, p...); }, args);
}

// A batch's flag_a and flag_b are ints of their own, or else the bits of
// its batch flags.
uint8_t *build_batch(const Record &a, size_t *len) {
    Args in{a, slots_of(layout_of(TWR_MSG_MESSAGE_BATCH).fields)};
    const uint16_t id = in.take<uint16_t>();
    const uint8_t flags = in.take<uint8_t>();
    const uint16_t count = in.take<uint16_t>();
    const twl_message *messages = in.take<const twl_message *>();
    const auto flag = [&](const char *name, int bit) { const Field *f = find(a, name); return f != nullptr ? int(f->num) : flags & bit; };
    return twl_build_message_batch(len, id, messages, count, flag("flag_a", 0x01), flag("flag_b", 0x02));
}

// A view's members as fields in wire order, leaving out the blocks whose
// flag bit is clear. A data pointer takes its length from the field before.
template <typename V>
Record fields_of(const V &v, const twl_field_t *layout) {
    std::vector<std::pair<const twl_field_t *, Field>> got;
    Slots s = slots_of(layout);
    const auto put = [&]<typename M>(const M &m) {
        const twl_field_t &f = s.take(sort_for<M>);
        if constexpr (sort_for<M> == kNumber) got.emplace_back(&f, I(f.name, m));
        else if constexpr (std::is_same_v<M, twl_str_t>) got.emplace_back(&f, S(f.name, m.ptr, m.len));
        else if constexpr (sort_for<M> == kText) got.emplace_back(&f, S(f.name, m, got.back().second.num));
        else got.emplace_back(&f, R(f.name, fields_of(m, twl_records[f.arg].fields)));
    };
    std::apply([&](const auto &...m) { (put(m), ...); }, members(v));
    Record out;
    uint64_t flags = 0;
    for (const twl_field_t *f = layout; f->kind != TWL_F_END; ++f) {
        if (f->kind == TWL_F_IF && (flags & f->arg) == 0) {
            f += f->max;
            continue;
        }
        for (const auto &[at, field] : got)
            if (at == f) out.push_back(field), flags = f->kind == TWL_F_FLAGS ? field.num : flags;
    }
    return out;
}

// A list's header fields come from its cursor: id, flags and count.
template <typename E>
Record list_fields(twl_list_t list, bool (*next)(twl_list_t *, E *), const twl_field_t *layout) {
    Record out;
    for (const twl_field_t *f = layout; f->kind != TWL_F_END; ++f) {
        if (sort_of(*f) == kNumber) out.push_back(I(f->name, f->kind == TWL_F_U16 ? list.id : f->kind == TWL_F_FLAGS ? list.flags : list.count));
        for (E e{}; f->kind == TWL_F_ENTRIES && next(&list, &e);) out.push_back(R(f->name, fields_of(e, twl_records[f->arg].fields)));
    }
    return out;
}

template <typename V>
V view_type(int (*)(const uint8_t *, size_t, V *));

template <uint8_t type, auto parse, auto next = nullptr>
std::optional<Record> parse_with(const uint8_t *p, size_t n) {
    if constexpr (std::is_invocable_v<decltype(parse), const uint8_t *, size_t>) {  // the pong has no view
        return parse(p, n) == TWR_OK ? std::optional(Record{}) : std::nullopt;
    } else {
        decltype(view_type(parse)) v{};
        if (parse(p, n, &v) != TWR_OK) return std::nullopt;
        if constexpr (std::is_same_v<decltype(v), twl_list_t>) return list_fields(v, next, layout_of(type).fields);
        else return fields_of(v, layout_of(type).fields);
    }
}

template <uint8_t type, auto build, auto parse, auto next = nullptr>
Codec typed() {
    std::string lower(layout_of(type).name);
    for (char &c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    return {&layout_of(type), lower,
            [](const Record &a, size_t *len) {
                if constexpr (std::is_invocable_v<decltype(build), const Record &, size_t *>) return build(a, len);  // the batch's own
                else return call<type>(build, a, len);
            },
            parse_with<type, parse, next>};
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
        const std::string b = bytes();
        expect(end);
        return b;
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
#define TYPED(TYPE, name) typed<TWR_MSG_##TYPE, twl_build_##name, twl_parse_##name>()
#define LIST(TYPE, name, entry) typed<TWR_MSG_##TYPE, twl_build_##name, twl_parse_##name, twl_list_next_##entry>()
const std::vector<Codec> &codecs() {
    static const std::vector<Codec> all = {
        TYPED(HANDSHAKE_ACK, handshake_ack), TYPED(AUTH_RESULT, auth_result), TYPED(STATUS, status), TYPED(ERROR, error),
        TYPED(GATEWAY_STATE, gateway_state), TYPED(PONG, pong), LIST(GUILD_LIST, guild_list, guild),
        LIST(MEMBER_LIST, member_list, member), LIST(DM_LIST, dm_list, dm), LIST(CHANNEL_LIST, channel_list, channel),
        typed<TWR_MSG_MESSAGE_BATCH, build_batch, twl_parse_message_batch, twl_list_next_message>(),
        TYPED(MESSAGE_CREATE, message_create), TYPED(MESSAGE_DELETE, message_delete), TYPED(MESSAGE_UPDATE, message_update),
        TYPED(TYPING_START, typing_start), TYPED(UNREAD_UPDATE, unread_update), TYPED(IMAGE_DATA, image_data),
        TYPED(VOICE_STATUS, voice_status), LIST(VOICE_MEMBERS, voice_members, voice_member),
        TYPED(VOICE_SPEAKING, voice_speaking), TYPED(VOICE_ERROR, voice_error)};
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

Bytes load_bytes(const std::string &path) {
    std::ifstream in(path);
    std::string line, text;
    while (std::getline(in, line)) text += line + "\n";
    Notation n{text, path};
    const std::string b = n.bytes();
    if (!in.eof() || !n.done()) n.fail("cannot read it all");
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
