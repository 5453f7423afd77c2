#include "support/wire.h"

#include <cctype>
#include <type_traits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "relay/twl.h"
#include "relay/twl_reader.h"

namespace wire {

namespace {

// ---- Arguments by name ----

const Field *find(const Record &r, std::string_view name) {
    for (const Field &f : r)
        if (f.name == name) return &f;
    return nullptr;
}
uint64_t num(const Record &r, std::string_view name) {
    const Field *f = find(r, name);
    return f != nullptr ? f->num : 0;
}
const char *str(const Record &r, std::string_view name) {
    const Field *f = find(r, name);
    return f != nullptr && f->kind == Field::kText ? f->text.c_str() : nullptr;
}

// A list argument: its entries converted by `make`, and the count and array
// pointer a builder takes. A null list keeps the count the fields give.
template <typename Entry>
struct List {
    std::vector<Entry> items;
    bool null = false;
    uint64_t count = 0;
    const Entry *data() const { return null ? nullptr : items.data(); }
};
template <typename Entry, typename Make>
List<Entry> list_of(const Record &a, std::string_view name, Make make) {
    List<Entry> l;
    const Field *first = find(a, name);
    l.null = first != nullptr && first->kind == Field::kNull;
    for (const Field &f : a)
        if (f.name == name && f.kind == Field::kRecord) l.items.push_back(make(f.sub));
    l.count = l.null ? num(a, "count") : l.items.size();
    return l;
}

twl_message message_of(const Record &m) {
    return twl_message{uint16_t(num(m, "id")),        uint16_t(num(m, "id_b")),  uint32_t(num(m, "value32")),
                       uint8_t(num(m, "flags")),      uint16_t(num(m, "value16")), str(m, "name"),
                       str(m, "text"),                uint16_t(num(m, "item_id")), str(m, "item_name"),
                       uint16_t(num(m, "value16_b")), str(m, "trailer_name"),    str(m, "trailer_text")};
}

// ---- Views as fields ----

Field I(const char *name, uint64_t v) { return Field{Field::kInt, name, v, {}, {}}; }
Field S(const char *name, twl_str_t s) {
    return Field{Field::kText, name, 0, std::string(reinterpret_cast<const char *>(s.ptr), s.len), {}};
}
Field R(const char *name, Record sub) { return Field{Field::kRecord, name, 0, {}, std::move(sub)}; }

// Puts the fields a view gave, in any order, into the wire order of a layout,
// leaving out the blocks whose flag bit is clear.
Record ordered(const twl_field_t *layout, const Record &bag) {
    Record out;
    uint64_t flags = 0;
    for (const twl_field_t *f = layout; f->kind != TWL_F_END; ++f) {
        if (f->kind == TWL_F_FIXED) continue;
        if (f->kind == TWL_F_IF) {
            if ((flags & f->arg) == 0) f += f->max;
            continue;
        }
        for (const Field &v : bag) {
            if (v.name != f->name) continue;
            Field put = v;
            if (f->kind == TWL_F_ENTRIES || f->kind == TWL_F_RECORD) put.sub = ordered(twl_records[f->arg].fields, v.sub);
            if (f->kind == TWL_F_FLAGS) flags = v.num;
            out.push_back(std::move(put));
        }
    }
    return out;
}

using Opt = std::optional<Record>;
using A = const Record &;

Record message_bag(const twl_message_view_t &m) {
    return {I("id", m.id),           I("id_b", m.id_b),       I("value32", m.value32), I("flags", m.flags),
            I("value16", m.value16), S("name", m.name),       S("text", m.text),       S("item_name", m.item_name),
            I("item_id", m.item_id), I("value16_b", m.value16_b), S("trailer_name", m.trailer_name),
            S("trailer_text", m.trailer_text)};
}
template <typename V>
Record named_entry(const V &e) {
    return {I("id", e.id), S("name", e.name), I("value8", e.value8), I("value16", e.value16)};
}

// A list: the header fields, then every entry the cursor hands out.
template <typename V>
Record with_entries(Record head, twl_list_t list, bool (*next)(twl_list_t *, V *), const char *name,
                    std::type_identity_t<Record (*)(const V &)> entry) {
    V v{};
    while (next(&list, &v)) head.push_back(R(name, entry(v)));
    return head;
}

#define PARSE(View, fn, ...)                                                                  \
    [](const uint8_t *p, size_t n) -> Opt {                                                   \
        View v{};                                                                             \
        if (fn(p, n, &v) != TWR_OK) return std::nullopt;                                      \
        return Record __VA_ARGS__;                                                            \
    }
#define PARSE_LIST(fn, head, next, name, ...)                                                 \
    [](const uint8_t *p, size_t n) -> Opt {                                                   \
        twl_list_t l{};                                                                       \
        if (fn(p, n, &l) != TWR_OK) return std::nullopt;                                      \
        return with_entries(Record head, l, next, name, __VA_ARGS__);                         \
    }

std::vector<Codec> make_codecs() {
    std::vector<Codec> all;
    const auto add = [&](uint8_t type, uint8_t *(*b)(A, size_t *), Opt (*p)(const uint8_t *, size_t)) {
        for (const twl_layout_t &l : twl_messages)
            if (l.type == type) {
                std::string lower(l.name);
                for (char &c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
                all.push_back({&l, lower, b, p});
            }
    };
    add(TWR_MSG_HANDSHAKE_ACK,
        [](A a, size_t *n) { return twl_build_handshake_ack(n, uint8_t(num(a, "value_a")), uint8_t(num(a, "value_b")), str(a, "text")); },
        PARSE(twl_handshake_ack_view_t, twl_parse_handshake_ack, {I("value_a", v.value_a), I("value_b", v.value_b), S("text", v.text)}));
    add(TWR_MSG_AUTH_RESULT,
        [](A a, size_t *n) { return twl_build_auth_result(n, uint8_t(num(a, "result")), str(a, "text_a"), str(a, "text_b"), uint16_t(num(a, "value"))); },
        PARSE(twl_auth_result_view_t, twl_parse_auth_result, {I("result", v.result), S("text_a", v.text_a), S("text_b", v.text_b), I("value", v.value)}));
    add(TWR_MSG_STATUS,
        [](A a, size_t *n) { return twl_build_status(n, uint8_t(num(a, "value_a")), uint8_t(num(a, "value_b")), str(a, "text")); },
        PARSE(twl_status_view_t, twl_parse_status, {I("value_a", v.value_a), I("value_b", v.value_b), S("text", v.text)}));
    add(TWR_MSG_ERROR,
        [](A a, size_t *n) { return twl_build_error(n, uint8_t(num(a, "value_a")), uint16_t(num(a, "value_b")), str(a, "text")); },
        PARSE(twl_error_view_t, twl_parse_error, {I("value_a", v.value_a), I("value_b", v.value_b), S("text", v.text)}));
    add(TWR_MSG_GATEWAY_STATE, [](A a, size_t *n) { return twl_build_gateway_state(n, uint8_t(num(a, "state"))); },
        PARSE(uint8_t, twl_parse_gateway_state, {I("state", v)}));
    add(TWR_MSG_PONG, [](A, size_t *n) { return twl_build_pong(n); },
        [](const uint8_t *p, size_t n) -> Opt { return twl_parse_pong(p, n) == TWR_OK ? Opt(Record{}) : std::nullopt; });
    add(TWR_MSG_GUILD_LIST,
        [](A a, size_t *n) {
            const auto l = list_of<twl_guild_entry>(a, "guild", [](A e) {
                return twl_guild_entry{uint16_t(num(e, "id")), str(e, "name"), uint8_t(num(e, "value8")), uint16_t(num(e, "value16"))};
            });
            return twl_build_guild_list(n, l.data(), uint16_t(l.count));
        },
        PARSE_LIST(twl_parse_guild_list, ({I("count", l.count)}), twl_list_next_guild, "guild", named_entry<twl_guild_view_t>));
    add(TWR_MSG_MEMBER_LIST,
        [](A a, size_t *n) {
            const auto l = list_of<twl_member_entry>(a, "member", [](A e) {
                return twl_member_entry{uint16_t(num(e, "id")), str(e, "name"), uint8_t(num(e, "value8")), uint16_t(num(e, "value16"))};
            });
            return twl_build_member_list(n, l.data(), uint16_t(l.count));
        },
        PARSE_LIST(twl_parse_member_list, ({I("count", l.count)}), twl_list_next_member, "member", named_entry<twl_member_view_t>));
    add(TWR_MSG_DM_LIST,
        [](A a, size_t *n) {
            const auto l = list_of<twl_dm_entry>(a, "dm", [](A e) {
                return twl_dm_entry{uint16_t(num(e, "id")), str(e, "name"), uint16_t(num(e, "value16")), uint8_t(num(e, "value8"))};
            });
            return twl_build_dm_list(n, l.data(), uint16_t(l.count));
        },
        PARSE_LIST(twl_parse_dm_list, ({I("count", l.count)}), twl_list_next_dm, "dm", named_entry<twl_dm_view_t>));
    add(TWR_MSG_CHANNEL_LIST,
        [](A a, size_t *n) {
            const auto l = list_of<twl_channel_entry>(a, "channel", [](A e) {
                return twl_channel_entry{uint16_t(num(e, "id")), uint8_t(num(e, "value8_a")), str(e, "name"),
                                         uint8_t(num(e, "value8_b")), uint16_t(num(e, "value16"))};
            });
            return twl_build_channel_list(n, uint16_t(num(a, "id")), l.data(), uint16_t(l.count));
        },
        PARSE_LIST(twl_parse_channel_list, ({I("id", l.id), I("count", l.count)}), twl_list_next_channel, "channel",
                   [](const twl_channel_view_t &e) -> Record {
                       return {I("id", e.id), I("value8_a", e.value8_a), S("name", e.name), I("value8_b", e.value8_b), I("value16", e.value16)};
                   }));
    add(TWR_MSG_MESSAGE_BATCH,
        [](A a, size_t *n) {
            const auto l = list_of<twl_message>(a, "message", message_of);
            const uint64_t flags = num(a, "batch_flags");
            const int flag_a = find(a, "flag_a") != nullptr ? int(num(a, "flag_a")) : int(flags & 0x01);
            const int flag_b = find(a, "flag_b") != nullptr ? int(num(a, "flag_b")) : int(flags & 0x02);
            return twl_build_message_batch(n, uint16_t(num(a, "id")), l.data(), uint16_t(l.count), flag_a, flag_b);
        },
        PARSE_LIST(twl_parse_message_batch, ({I("id", l.id), I("batch_flags", l.flags), I("count", l.count)}),
                   twl_list_next_message, "message", message_bag));
    add(TWR_MSG_MESSAGE_CREATE,
        [](A a, size_t *n) {
            const Field *m = find(a, "message");
            if (m == nullptr || m->kind != Field::kRecord) return twl_build_message_create(n, uint16_t(num(a, "id")), nullptr);
            const twl_message msg = message_of(m->sub);
            return twl_build_message_create(n, uint16_t(num(a, "id")), &msg);
        },
        PARSE(twl_message_create_view_t, twl_parse_message_create, {I("id", v.id), R("message", message_bag(v.message))}));
    add(TWR_MSG_MESSAGE_DELETE,
        [](A a, size_t *n) { return twl_build_message_delete(n, uint16_t(num(a, "id_a")), uint16_t(num(a, "id_b"))); },
        PARSE(twl_message_delete_view_t, twl_parse_message_delete, {I("id_a", v.id_a), I("id_b", v.id_b)}));
    add(TWR_MSG_MESSAGE_UPDATE,
        [](A a, size_t *n) { return twl_build_message_update(n, uint16_t(num(a, "id_a")), uint16_t(num(a, "id_b")), str(a, "text")); },
        PARSE(twl_message_update_view_t, twl_parse_message_update, {I("id_a", v.id_a), I("id_b", v.id_b), S("text", v.text)}));
    add(TWR_MSG_TYPING_START,
        [](A a, size_t *n) { return twl_build_typing_start(n, uint16_t(num(a, "id")), str(a, "name")); },
        PARSE(twl_typing_start_view_t, twl_parse_typing_start, {I("id", v.id), S("name", v.name)}));
    add(TWR_MSG_UNREAD_UPDATE,
        [](A a, size_t *n) { return twl_build_unread_update(n, uint16_t(num(a, "id")), uint8_t(num(a, "value8")), uint16_t(num(a, "value16"))); },
        PARSE(twl_unread_update_view_t, twl_parse_unread_update, {I("id", v.id), I("value8", v.value8), I("value16", v.value16)}));
    add(TWR_MSG_IMAGE_DATA,
        [](A a, size_t *n) {
            const Field *d = find(a, "data");
            const auto *data = d != nullptr && d->kind == Field::kText ? reinterpret_cast<const uint8_t *>(d->text.data()) : nullptr;
            return twl_build_image_data(n, uint16_t(num(a, "id")), uint8_t(num(a, "value8_a")), uint8_t(num(a, "value8_b")),
                                        uint8_t(num(a, "value8_c")), uint16_t(num(a, "value16_a")), uint16_t(num(a, "value16_b")),
                                        uint16_t(num(a, "value16_c")), data, uint32_t(num(a, "data_len")));
        },
        PARSE(twl_image_data_view_t, twl_parse_image_data,
              {I("id", v.id), I("value8_a", v.value8_a), I("value8_b", v.value8_b), I("value8_c", v.value8_c),
               I("value16_a", v.value16_a), I("value16_b", v.value16_b), I("value16_c", v.value16_c), I("data_len", v.data_len),
               Field{Field::kText, "data", 0, std::string(reinterpret_cast<const char *>(v.data), v.data_len), {}}}));
    add(TWR_MSG_VOICE_STATUS,
        [](A a, size_t *n) { return twl_build_voice_status(n, uint8_t(num(a, "value8")), uint16_t(num(a, "id")), str(a, "name")); },
        PARSE(twl_voice_status_view_t, twl_parse_voice_status, {I("value8", v.value8), I("id", v.id), S("name", v.name)}));
    add(TWR_MSG_VOICE_MEMBERS,
        [](A a, size_t *n) {
            const auto l = list_of<twl_voice_member>(a, "member", [](A e) {
                return twl_voice_member{uint16_t(num(e, "id")), str(e, "name"), uint8_t(num(e, "value8"))};
            });
            return twl_build_voice_members(n, uint16_t(num(a, "id")), l.data(), uint8_t(l.count));
        },
        PARSE_LIST(twl_parse_voice_members, ({I("id", l.id), I("count", l.count)}), twl_list_next_voice_member, "member",
                   [](const twl_voice_member_view_t &e) -> Record { return {I("id", e.id), S("name", e.name), I("value8", e.value8)}; }));
    add(TWR_MSG_VOICE_SPEAKING,
        [](A a, size_t *n) { return twl_build_voice_speaking(n, uint16_t(num(a, "id")), uint8_t(num(a, "value8"))); },
        PARSE(twl_voice_speaking_view_t, twl_parse_voice_speaking, {I("id", v.id), I("value8", v.value8)}));
    add(TWR_MSG_VOICE_ERROR,
        [](A a, size_t *n) { return twl_build_voice_error(n, uint8_t(num(a, "value8")), str(a, "text")); },
        PARSE(twl_voice_error_view_t, twl_parse_voice_error, {I("value8", v.value8), S("text", v.text)}));
    return all;
}

// ---- Vector notation ----

[[noreturn]] void fail(const std::string &where, const std::string &what) {
    throw std::runtime_error(where + ": " + what);
}

// Reads the notation of vectors/*.txt from one key's text.
struct Notation {
    std::string_view s;
    std::string where;
    size_t at = 0;

    void space() {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
    }
    bool eat(char c) {
        space();
        if (at < s.size() && s[at] == c) return ++at, true;
        return false;
    }
    void expect(char c) {
        if (!eat(c)) fail(where, std::string("expected '") + c + "' at \"" + std::string(s.substr(at, 20)) + "\"");
    }
    bool done() { return space(), at >= s.size(); }
    std::string word() {
        space();
        const size_t from = at;
        while (at < s.size() && (std::isalnum(static_cast<unsigned char>(s[at])) || s[at] == '_')) ++at;
        if (at == from) fail(where, "expected a word at \"" + std::string(s.substr(at, 20)) + "\"");
        return std::string(s.substr(from, at - from));
    }
    uint64_t number(const std::string &w) {
        char *end = nullptr;
        const uint64_t v = std::strtoull(w.c_str(), &end, 0);
        if (w.empty() || *end != '\0') fail(where, "not a number: " + w);
        return v;
    }
    size_t times() { return eat('*') ? size_t(number(word())) : 1; }
    std::string quoted() {
        expect('"');
        std::string out;
        while (at < s.size() && s[at] != '"') {
            char c = s[at++];
            if (c == '\\' && at < s.size()) {
                c = s[at++];
                if (c == 'x') {
                    c = char(std::stoi(std::string(s.substr(at, 2)), nullptr, 16));
                    at += 2;
                }
            }
            out += c;
        }
        expect('"');
        return out;
    }
    static std::string repeat(const std::string &part, size_t n) {
        std::string out;
        out.reserve(part.size() * n);
        for (size_t k = 0; k < n; ++k) out += part;
        return out;
    }
    // BYTES up to a closing ')' or ']' or the end.
    std::string bytes() {
        std::string out;
        for (;;) {
            space();
            if (at >= s.size() || s[at] == ')' || s[at] == ']') return out;
            std::string part;
            if (s[at] == '"') {
                part = quoted();
            } else if (eat('(')) {
                part = bytes();
                expect(')');
            } else {
                const std::string hex = word();
                if (hex.size() % 2 != 0) fail(where, "odd hex group: " + hex);
                for (size_t k = 0; k < hex.size(); k += 2) part += char(std::stoi(hex.substr(k, 2), nullptr, 16));
            }
            out += repeat(part, times());
        }
    }
    Field value(const std::string &name) {
        Field f;
        f.name = name;
        space();
        if (eat('[')) {
            f.kind = Field::kText;
            f.text = bytes();
            expect(']');
        } else if (at < s.size() && s[at] == '"') {
            f.kind = Field::kText;
            do {
                const std::string part = quoted();
                f.text += repeat(part, times());
            } while (eat('+'));
        } else {
            const std::string w = word();
            if (w == "null") f.kind = Field::kNull;
            else f.num = number(w);
        }
        return f;
    }
    // NAME=VALUE and NAME{...}*N, up to a closing '}' or the end.
    Record fields() {
        Record out;
        while (!done() && s[at] != '}') {
            const std::string name = word();
            if (eat('{')) {
                Field f{Field::kRecord, name, 0, {}, fields()};
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

std::string strip_comment(const std::string &line) {
    bool quoted = false;
    for (size_t k = 0; k < line.size(); ++k) {
        if (line[k] == '\\' && quoted) ++k;
        else if (line[k] == '"') quoted = !quoted;
        else if (line[k] == '#' && !quoted) return line.substr(0, k);
    }
    return line;
}

void finish_key(Vector &v, const std::string &key, const std::string &text, const std::string &where) {
    Notation n{text, where};
    if (key == "fields") v.fields = n.fields();
    else if (key == "input") v.input = n.fields();
    else if (key == "frame" && text.find("none") != std::string::npos) {
        v.frame.reset();
        if (n.word() != "none") fail(where, "frame none expected");
    } else if (key == "frame" || key == "malformed") {
        const std::string b = n.bytes();
        v.frame = Bytes(b.begin(), b.end());
        v.malformed = key == "malformed";
    } else fail(where, "unknown key " + key);
    if (!n.done()) fail(where, "text left over: " + std::string(text.substr(n.at, 30)));
}

void load_file(const std::filesystem::path &path, std::vector<Vector> &out) {
    std::ifstream in(path);
    std::string line, key, text, where;
    const std::string file = path.filename().string();
    size_t line_no = 0;
    const auto flush = [&] {
        if (!key.empty()) finish_key(out.back(), key, text, where);
        key.clear();
    };
    while (std::getline(in, line)) {
        ++line_no;
        line = strip_comment(line);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string here = file + ":" + std::to_string(line_no);
        if (line.rfind("==", 0) == 0) {
            flush();
            Vector v;
            v.file = file;
            v.label = line.substr(line.find_first_not_of(" =", 2));
            v.label.erase(v.label.find_last_not_of(" \t\r") + 1);
            v.codec = codec_named(v.label.substr(0, v.label.find('/')));
            if (v.codec == nullptr) fail(here, "unknown message type in " + v.label);
            out.push_back(std::move(v));
        } else if (std::isspace(static_cast<unsigned char>(line[0]))) {
            if (key.empty()) fail(here, "continuation without a key");
            text += " " + line;
        } else {
            if (out.empty()) fail(here, "a key before the first vector");
            flush();
            const size_t end = line.find_first_of(" \t");
            key = line.substr(0, end);
            text = end == std::string::npos ? "" : line.substr(end);
            where = here;
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

const std::vector<Codec> &codecs() {
    static const std::vector<Codec> all = make_codecs();
    return all;
}

const Codec *codec_named(std::string_view name) {
    for (const Codec &c : codecs())
        if (c.name == name) return &c;
    return nullptr;
}

std::optional<Record> parse(const Codec &c, const uint8_t *payload, size_t len) {
    std::optional<Record> bag = c.parse_bag(payload, len);
    if (!bag) return std::nullopt;
    return ordered(c.layout->fields, *bag);
}

std::optional<Bytes> build(const Codec &c, const Record &args) {
    size_t len = 99;
    uint8_t *frame = c.build(args, &len);
    if (frame == nullptr) {
        if (len != 0) return Bytes{};  // a refusal that left a length behind: never equal to a vector
        return std::nullopt;
    }
    Bytes out(frame, frame + len);
    std::free(frame);
    return out;
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
    if (!in) fail(path, "cannot read");
    std::string line, text;
    while (std::getline(in, line)) text += strip_comment(line) + "\n";
    Notation n{text, path};
    const std::string b = n.bytes();
    if (!n.done()) fail(path, "text left over");
    return Bytes(b.begin(), b.end());
}

std::vector<Vector> load_vectors(const std::string &dir) {
    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".txt") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<Vector> out;
    for (const auto &f : files) load_file(f, out);
    return out;
}

}  // namespace wire
