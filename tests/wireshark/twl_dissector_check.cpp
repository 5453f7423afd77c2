// The Wireshark dissector in the real tshark, and the streaming reader that
// twl-dump prints, against the wire vectors. Writes every vector frame into
// a pcap of one TCP stream (port 2002): frames split inside the header,
// inside a string and byte by byte, several frames per segment, garbage
// between frames and a cut frame at the end. Then runs `tshark -2 -X
// lua_script:twl.lua -T json` on it and the reader on the same bytes, and
// checks that both give every frame's fields as the vectors have them, and
// flag every broken frame (for the same reason) and the garbage. The stream
// is left beside the pcap for twl-dump.
//
//   twl_dissector_check VECTORS_DIR TWL_LUA PRELUDE_LUA WORK_DIR
//   twl_dissector_check --cases CASES TWL_LUA PRELUDE_LUA WORK_DIR
//
// The second form runs tshark on the captures a text file describes (see
// run_cases) and compares its output with the file's.
//
// Exit status 0 when both agree with the vectors, 1 when not, 77 (skipped)
// when tshark is not installed.
#include <cjson/cJSON.h>
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/test_support.h"
#include "support/wire.h"

namespace {

using wire::Field;

// What a reader reports for a stretch of the stream, as text lines: a
// frame's header fields and then its fields, "abbrev=value", or "skipped"
// for bytes between frames. A broken frame keeps its header lines only, and
// the readers say why (the vectors do not).
struct Event {
    std::vector<std::string> lines;
    bool broken = false;
    std::string fault = {};
    bool operator==(const Event &o) const { return lines == o.lines && broken == o.broken; }
};

int kind_of(const std::string &scope, const std::string &name) {
    const twl_field_t *f = wire::field_of(scope, name);
    return f == nullptr ? 0 : f->kind;
}

// A string as the dissector shows it: style bytes as tags, Mac OS Roman as
// UTF-8 by glibc's table with Apple's current 0xC6 (U+2206) and 0xF0 (U+F8FF).
std::string shown(const std::string &raw) {
    static const char *const tag[] = {"", "b", "i", "code"};
    bool open[4] = {};
    std::string out;
    for (unsigned char b : raw) {
        char in = char(b), utf8[8], *ip = &in, *op = utf8;
        size_t il = 1, ol = sizeof utf8;
        if (b >= 1 && b <= 3) {
            out += std::string(open[b] ? "</" : "<") + tag[b] + ">", open[b] = !open[b];
        } else if (b == 0xC6 || b == 0xF0) {
            out += test_support::utf8(b == 0xC6 ? 0x2206 : 0xF8FF);
        } else if (b >= 0x80) {
            iconv_t cd = iconv_open("UTF-8", "MACINTOSH");
            iconv(cd, &ip, &il, &op, &ol);
            iconv_close(cd);
            out.append(utf8, op);
        } else {
            out += char(b);
        }
    }
    return out;
}

// A byte field: its length and its first 64 bytes, which is what twl-dump shows.
std::string bytes_text(const std::string &raw, size_t total) {
    std::string out = std::to_string(total) + " bytes:";
    char hex[3];
    for (size_t k = 0; k < raw.size() && k < 64; ++k) std::snprintf(hex, sizeof hex, "%02x", raw[k] & 0xFF), out += hex;
    return out;
}
std::string unhex(const std::string &text) {  // "de:ad" or "de ad"
    std::string raw;
    for (size_t k = 0; k + 1 < text.size(); k += 3) raw += char(std::stoi(text.substr(k, 2), nullptr, 16));
    return raw;
}

void add_fields(Event &e, const std::string &scope, const wire::Record &fields) {
    char flags[8];
    for (const Field &f : fields) {
        const std::string abbrev = "twl." + scope + "." + f.name;
        const int kind = kind_of(scope, f.name);
        std::snprintf(flags, sizeof flags, "0x%02x", unsigned(f.num));
        // An entry or record subtree is named after its record's layout.
        const std::string record = f.kind == Field::kRecord ? twl_records[wire::field_of(scope, f.name)->arg].name : "";
        if (f.kind == Field::kRecord) e.lines.push_back("twl." + record + "="), add_fields(e, record, f.sub);
        else if (kind == TWL_F_BYTES) e.lines.push_back(abbrev + "=" + bytes_text(f.text, f.text.size()));
        else if (f.kind == Field::kText) e.lines.push_back(abbrev + "=" + shown(f.text));
        else e.lines.push_back(abbrev + "=" + (kind == TWL_F_FLAGS ? flags : std::to_string(f.num)));
    }
}

Event header(unsigned type, unsigned long length) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02x", type);
    return Event{{"twl.magic=TRWK", "twl.version=1", std::string("twl.type=") + t, "twl.length=" + std::to_string(length)}};
}

// Adds an event: a broken frame keeps its header, garbage next to garbage is one run.
void push(std::vector<Event> &events, Event e) {
    if (e.broken && e.lines.size() > 4) e.lines.resize(4);
    if (e.lines != std::vector<std::string>{"skipped"} || events.empty() || !(events.back() == e)) events.push_back(std::move(e));
}

// ---- tshark ----

// One "twl" object of tshark's JSON: its fields in order, and the first expert info.
void flatten(const cJSON *o, Event &e) {
    for (const cJSON *c = o->child; c != nullptr; c = c->next) {
        const std::string key = c->string;
        const size_t dot = key.rfind('.');
        const int kind = dot > 3 ? kind_of(key.substr(4, dot - 4), key.substr(dot + 1)) : 0;
        if (key == "_ws.expert" && e.fault.empty() && std::strncmp(c->child->string, "twl.expert.", 11) == 0)
            e.fault = c->child->string + 11;
        else if (cJSON_IsObject(c) && key.rfind("twl.", 0) == 0 && key.find("_tree") == std::string::npos)
            e.lines.push_back(key + "="), flatten(c, e);  // a list entry or record
        else if (cJSON_IsObject(c)) flatten(c, e);
        else if (key.rfind("twl.", 0) == 0 && kind == TWL_F_BYTES)
            e.lines.push_back(key + "=" + bytes_text(unhex(c->valuestring), unhex(c->valuestring).size()));
        else if (key.rfind("twl.", 0) == 0 && kind != TWL_F_FIXED && key.find('.', 4) >= dot)  // not a flag bit
            e.lines.push_back(key + "=" + c->valuestring);
    }
}

std::vector<Event> tshark_events(const std::string &json) {
    std::vector<Event> events;
    cJSON *root = cJSON_Parse(json.c_str());
    for (const cJSON *packet = root != nullptr ? root->child : nullptr; packet != nullptr; packet = packet->next) {
        const cJSON *layer = cJSON_GetObjectItem(cJSON_GetObjectItem(packet, "_source"), "layers");
        for (layer = layer != nullptr ? layer->child : nullptr; layer != nullptr; layer = layer->next) {
            Event e;
            if (std::string(layer->string) != "twl") continue;
            flatten(layer, e), e.broken = !e.fault.empty();
            if (e.fault == "skipped" || e.fault == "version" || e.fault == "oversized") e = Event{{"skipped"}, true};
            push(events, e);
        }
    }
    cJSON_Delete(root);
    return events;
}

// ---- The streaming reader that twl-dump prints ----

std::vector<Event> reader_events(const wire::Bytes &stream) {
    static const char *const faults[] = {"", "short", "long_string", "nul", "fixed", "flag_bits", "data_length", "left_over", "too_long"};
    std::vector<Event> events;
    wire::Record fields;
    std::string scope;
    twlc_reader r;
    twlc_init(&r);
    twlc_event ev;
    const auto take = [&](int kind) {
        wire::add_client_event(fields, kind, ev);
        if (kind == TWLC_EV_SKIP) push(events, Event{{"skipped"}, true});
        if (kind == TWLC_EV_FRAME) events.push_back(header(ev.type, ev.value)), fields.clear(), scope = wire::lower(ev.name ? ev.name : "");
        if (kind == TWLC_EV_FAULT || kind == TWLC_EV_CUT) events.back().broken = true, events.back().fault = kind == TWLC_EV_CUT ? "cut" : faults[ev.reason];
        if (kind == TWLC_EV_END && ev.value == 1) add_fields(events.back(), scope, fields);
    };
    const unsigned char *at = stream.data();
    for (unsigned long left = stream.size(); left > 0;)
        for (int kind; (kind = twlc_next(&r, &at, &left, &ev)) != TWLC_EV_NEED;) take(kind);
    for (int kind; (kind = twlc_finish(&r, &ev)) != TWLC_EV_NEED;) take(kind);
    return events;
}

// ---- The capture ----

void put(std::string &o, uint32_t v, int n, bool big = true) {
    for (int k = 0; k < n; ++k) o += char(v >> (8 * (big ? n - 1 - k : k)));
}

// A classic pcap of TCP segments, each from a server port to client port
// 50000 (the relay's data) or back; checksums are left 0.
struct Segment {
    unsigned port;
    bool to_client;
    std::string bytes;
};
void write_pcap(const std::string &path, const std::vector<Segment> &segments) {
    std::string o;
    for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 1u}) put(o, v, 4, false);
    std::map<std::pair<unsigned, bool>, uint32_t> next_seq;
    uint32_t n = 0;
    for (const Segment &s : segments) {
        uint32_t &seq = next_seq.try_emplace({s.port, s.to_client}, 1u).first->second;
        const uint32_t ports = s.to_client ? s.port << 16 | 50000u : 50000u << 16 | s.port;
        std::string p(s.to_client ? std::string("\0\0\0\0\0\2\0\0\0\0\0\1\x08\x00", 14)  // Ethernet, then IPv4 and TCP
                                  : std::string("\0\0\0\0\0\1\0\0\0\0\0\2\x08\x00", 14));
        for (uint32_t v : {0x45000000u | uint32_t(40 + s.bytes.size()), 0u, 0x40060000u, s.to_client ? 0x0A000001u : 0x0A000002u,
                           s.to_client ? 0x0A000002u : 0x0A000001u, ports, seq, 1u, 0x5018FFFFu, 0u})
            put(p, v, 4);
        p += s.bytes;
        seq += uint32_t(s.bytes.size());
        for (uint32_t v : {n++, 0u, uint32_t(p.size()), uint32_t(p.size())}) put(o, v, 4, false);
        o += p;
    }
    std::ofstream(path, std::ios::binary) << o;
}

std::string tshark_command(const std::string &work, const std::string &prelude, const std::string &lua) {
    // A home of its own keeps personal plugins and preferences out; the
    // prelude takes away what Lua 5.4 no longer has before the dissector loads.
    return "HOME='" + work + "' XDG_CONFIG_HOME='" + work + "' tshark -X 'lua_script:" + prelude + "' -X 'lua_script:" +
           lua + "'";
}

// Captures described in a text file and what tshark must print for them:
//   == name              a capture
//   port 9999            the server port of the segments that follow (2002 at first)
//   < 54 52 "WK" 01      a segment from the server (the relay) to the client, in hex and "text"
//   > "hello"            a segment from the client to the server
//   $ -2 -T fields ...   tshark's arguments; the lines up to the next blank line or $ are its
//                        output, without blank lines
int run_cases(const std::string &cases, const std::string &lua, const std::string &prelude, const std::string &work) {
    std::ifstream in(cases);
    std::vector<Segment> segments;
    std::string line, name, pcap, args, got, want;
    unsigned port = 2002, failures = 0, runs = 0;
    const auto check = [&] {
        if (args.empty()) return;
        got = test_support::run_command(tshark_command(work, prelude, lua) + " -r '" + pcap + "' " + args + " 2>&1 | grep -v -e '^Running as user' -e '^$'").out;
        if (got != want) std::fprintf(stderr, "%s: tshark %s\n--- expected\n%s--- got\n%s", name.c_str(), args.c_str(), want.c_str(), got.c_str());
        failures += got != want, ++runs, args.clear(), want.clear();
    };
    while (std::getline(in, line)) {
        if (!args.empty() && !line.empty() && line.rfind("$ ", 0) != 0) {
            want += line + "\n";
            continue;
        }
        check();
        if (line.rfind("== ", 0) == 0) name = line.substr(3), segments.clear(), port = 2002;
        else if (line.rfind("port ", 0) == 0) port = unsigned(std::stoul(line.substr(5)));
        else if (line.rfind("$ ", 0) == 0) pcap = work + "/" + name + ".pcap", write_pcap(pcap, segments), args = line.substr(2);
        else if (line[0] == '<' || line[0] == '>') {
            segments.push_back({port, line[0] == '<', wire::bytes_of(line.substr(1), cases)});
        }
    }
    check();
    std::printf("%u of %u tshark runs as expected\n", runs - failures, runs);
    return runs > 0 && failures == 0 ? 0 : 1;
}

int compare(const char *who, const std::vector<Event> &got, const std::vector<Event> &want,
            const std::vector<std::string> &labels) {
    const size_t k = std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
    if (k == want.size() && got.size() == want.size()) return std::printf("%s: %zu events as expected\n", who, k), 0;
    std::fprintf(stderr, "%s differs at %s:\n", who, k < labels.size() ? labels[k].c_str() : "the end");
    for (const auto *events : {&want, &got})
        for (size_t l = 0; k < events->size() && l < (*events)[k].lines.size() && l < 40; ++l)
            std::fprintf(stderr, "  %s %s%s\n", events == &want ? "expected" : "got", (*events)[k].lines[l].substr(0, 80).c_str(),
                         (*events)[k].broken ? " (flagged)" : "");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5 && !(argc == 6 && std::string(argv[1]) == "--cases"))
        return std::fputs("usage: twl_dissector_check [--cases CASES | VECTORS_DIR] TWL_LUA PRELUDE_LUA WORK_DIR\n", stderr), 2;
    const int at = argc - 4;
    const std::string lua = argv[at + 1], prelude = argv[at + 2], work = argv[at + 3];
    if (test_support::run_command("tshark -v >/dev/null 2>&1").status != 0)
        return std::puts("tshark is not installed (make ci-deps installs it): the dissector is not tested"), 77;
    std::filesystem::create_directories(work);
    if (argc == 6) return run_cases(argv[2], lua, prelude, work);

    std::vector<wire::Vector> vectors = wire::load_vectors(argv[1]);

    // Garbage before every seventh frame: stray bytes, a header of version 2,
    // one with a length over 2 MiB. Frames share segments, or are cut inside
    // the magic and the length, in the middle of the payload, or byte by byte.
    const std::string garbage[] = {std::string("xTRW\0", 5), std::string("TRWK\2\x81\0\0\0\0", 10), "TRWK\1\x81\x7F\xFF\xFF\xFF"};
    wire::Bytes stream;
    std::set<size_t> cuts;
    std::vector<Event> want;
    std::vector<std::string> labels;
    for (size_t k = 0; k < vectors.size(); ++k) {
        const wire::Vector &v = vectors[k];
        if (!v.frame) continue;
        if (k % 7 == 3) {
            stream.insert(stream.end(), garbage[k / 7 % 3].begin(), garbage[k / 7 % 3].end());
            want.push_back(Event{{"skipped"}, true}), labels.push_back("garbage before " + v.label);
        }
        const size_t s = stream.size(), n = v.frame->size();
        stream.insert(stream.end(), v.frame->begin(), v.frame->end());
        if (k % 4 == 1) cuts.insert({s + 2, s + 8});
        if (k % 4 == 2 || (k % 4 == 3 && n > 40)) cuts.insert(s + 10 + (n - 10) / 2);
        for (size_t b = 1; k % 4 == 3 && n <= 40 && b < n; ++b) cuts.insert(s + b);
        if (n - 10 > TWL_MAX_PAYLOAD) {  // a header no reader accepts: garbage
            push(want, Event{{"skipped"}, true}), labels.push_back(v.label);
            continue;
        }
        Event e = header(v.codec->layout->type, n - 10);
        e.broken = v.malformed;
        if (!v.malformed) add_fields(e, v.codec->name, v.fields);
        push(want, e), labels.push_back(v.label);
    }
    // The last frame, over two segments, is cut off by the end of the capture.
    const wire::Vector &last = *std::find_if(vectors.begin(), vectors.end(), [](auto &v) { return v.frame && !v.malformed; });
    stream.insert(stream.end(), last.frame->begin(), last.frame->end() - 1);
    cuts.insert({stream.size() - 3, stream.size()});
    want.push_back(header(last.codec->layout->type, last.frame->size() - 10)), want.back().broken = true;
    labels.push_back(last.label + ", cut");
    for (size_t at = 65000; at < stream.size(); at += 65000) cuts.insert(at);  // segments within an IPv4 packet

    const std::string pcap = work + "/twl_vectors.pcap", raw = work + "/twl_vectors.twl";
    std::vector<Segment> segments;
    size_t from = 0;
    for (size_t to : cuts) segments.push_back({2002, true, std::string(stream.begin() + long(from), stream.begin() + long(to))}), from = to;
    write_pcap(pcap, segments);
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char *>(stream.data()), std::streamsize(stream.size()));
    const test_support::CommandRun shark = test_support::run_command(
        tshark_command(work, prelude, lua) + " -2 -r '" + pcap + "' -T json -J twl 2>'" + work + "/tshark.err'");
    if (shark.status != 0) return std::fprintf(stderr, "tshark failed (%d); see %s/tshark.err\n", shark.status, work.c_str()), 1;
    std::printf("%zu frames and runs of garbage in %zu segments, %zu bytes\n", labels.size(), cuts.size(), stream.size());
    const std::vector<Event> shark_got = tshark_events(shark.out), dump_got = reader_events(stream);
    int rc = compare("tshark", shark_got, want, labels) | compare("twl-dump's reader", dump_got, want, labels);
    for (size_t k = 0; rc == 0 && k < want.size(); ++k)
        if (shark_got[k].fault != dump_got[k].fault)
            std::fprintf(stderr, "%s: tshark says %s, twl-dump's reader %s\n", labels[k].c_str(), shark_got[k].fault.c_str(),
                         dump_got[k].fault.c_str()), rc = 1;
    return rc;
}
