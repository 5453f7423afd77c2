// twl-gen: writes what other files take from the wire description of
// relay/twl_wire.h (through the tables of relay/twl_layout.h), so that the
// wire is written once.
//
//   twl-gen --write FILE    regenerate FILE's layout block in place
//   twl-gen --check FILE    exit 1 when FILE's layout block is stale
//
// A Markdown file (docs/PROTOCOL.md) gets the message tables between the
// lines "<!-- layout: begin -->" and "<!-- layout: end -->"; a Lua file
// (the Wireshark dissector) gets its field tables between "-- layout: begin"
// and "-- layout: end".
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "relay/twl_layout.h"

namespace {

constexpr unsigned kWidth[] = TWL_FIELD_WIDTHS;
constexpr const char *kKind[] = {"end",   "u8",      "u16",     "u32",    "i16",   "flags", "fixed", "string",
                                 "count8", "count16", "entries", "record", "length", "bytes", "if"};

std::string lower(const char *s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

// The smallest payload a layout allows: no entries, empty strings and data,
// no optional block.
unsigned long min_size(const twl_field_t *f) {
    unsigned long n = 0;
    for (; f->kind != TWL_F_END; ++f) {
        if (f->kind == TWL_F_IF) f += f->max;
        else if (f->kind == TWL_F_RECORD) n += min_size(twl_records[f->arg].fields);
        else n += kWidth[f->kind];
    }
    return n;
}

// The size of `count` fields from f, as fixed bytes plus string lengths.
std::string size_text(const twl_field_t *f, unsigned count) {
    unsigned long fixed = 0;
    std::string vary;
    for (; count > 0; --count, ++f) {
        fixed += kWidth[f->kind];
        if (f->kind == TWL_F_STR) vary += " + n(" + std::string(f->name) + ")";
    }
    return std::to_string(fixed) + vary;
}

// One table row per field. An offset counts the fixed bytes before the
// field and names the lengths of the strings, lists and blocks before it.
void field_rows(std::ostream &o, const twl_field_t *f) {
    unsigned long fixed = 0, fixed_before = 0;
    std::string vary, vary_before, when, block;
    const twl_field_t *block_end = nullptr;
    o << "| offset | field | on the wire | limits |\n|---|---|---|---|\n";
    for (; f->kind != TWL_F_END; ++f) {
        if (f == block_end) {
            fixed = fixed_before;
            vary = vary_before + " + " + block;
            when.clear();
        }
        if (f->kind == TWL_F_IF) {
            block = f->name;
            block_end = f + 1 + f->max;
            fixed_before = fixed;
            vary_before = vary;
            when = "only when `flags` has " + hex(f->arg);
            o << "| " << fixed << vary << " | " << block << " block | " << size_text(f + 1, f->max) << " bytes | "
              << when << " |\n";
            continue;
        }
        std::string wire = kKind[f->kind], limits;
        switch (f->kind) {
        case TWL_F_FLAGS: wire = "u8", limits = f->arg == 0xFF ? "flags" : "flags: bits " + hex(f->arg) + " only"; break;
        case TWL_F_FIXED: wire = "u8", limits = "always " + std::to_string(f->arg); break;
        case TWL_F_STR: wire = "u16 length n, then n bytes", limits = "n at most " + std::to_string(f->max) + "; no byte 0"; break;
        case TWL_F_COUNT8: wire = "u8", limits = "the entries that follow"; break;
        case TWL_F_COUNT16: wire = "u16", limits = "the entries that follow"; break;
        case TWL_F_ENTRIES: wire = "`count` " + std::string(twl_records[f->arg].name) + " records"; break;
        case TWL_F_RECORD: wire = "one " + std::string(twl_records[f->arg].name) + " record"; break;
        case TWL_F_LEN32: wire = "u32", limits = "the bytes that follow"; break;
        case TWL_F_BYTES: wire = "`" + std::string((f - 1)->name) + "` bytes", limits = "the rest of the payload"; break;
        }
        if (!when.empty()) limits += (limits.empty() ? "" : "; ") + when;
        o << "| " << fixed << vary << " | `" << f->name << "` | " << wire << " | " << limits << " |\n";
        fixed += kWidth[f->kind];
        if (f->kind == TWL_F_STR) vary += " + n(" + std::string(f->name) + ")";
        if (f->kind == TWL_F_ENTRIES || f->kind == TWL_F_RECORD || f->kind == TWL_F_BYTES) vary += " + " + std::string(f->name);
    }
}

std::string markdown() {
    std::ostringstream o;
    o << "| code | message | payload bytes |\n|---|---|---|\n";
    for (const twl_layout_t &m : twl_messages)
        o << "| " << hex(m.type) << " | " << m.name << " | " << min_size(m.fields) << " to " << m.max_size << " |\n";
    o << "\nOffsets are from the start of the payload, or of the record. n(name) is the length of a string\n"
         "field; a list, record, byte field or optional block named in an offset stands for its whole size.\n";
    for (const twl_layout_t &m : twl_messages) {
        o << "\n### " << m.name << " (" << hex(m.type) << ")\n\n";
        if (m.fields[0].kind == TWL_F_END) {
            o << "No payload.\n";
            continue;
        }
        o << "Payload " << min_size(m.fields) << " to " << m.max_size << " bytes.\n\n";
        field_rows(o, m.fields);
    }
    for (const twl_layout_t &r : twl_records) {
        o << "\n### Record: " << r.name << "\n\n" << min_size(r.fields) << " to " << r.max_size << " bytes.\n\n";
        field_rows(o, r.fields);
    }
    return o.str();
}

void lua_fields(std::ostream &o, const twl_field_t *f) {
    o << "{";
    for (; f->kind != TWL_F_END; ++f)
        o << "\n    {\"" << kKind[f->kind] << "\", \"" << f->name << "\", " << unsigned(f->arg) << ", " << f->max << "},";
    o << "\n  }";
}

std::string lua() {
    std::ostringstream o;
    o << "local MAGIC = \"" << TWL_MAGIC << "\"\nlocal VERSION = " << TWL_VERSION << "\nlocal HEADER = " << TWL_HEADER_SIZE
      << "\n";
    o << "local max_payload = " << TWL_MAX_PAYLOAD << "\n";
    o << "-- The bytes each kind takes before its text or entries.\nlocal WIDTH = {";
    const char *separator = "";
    for (size_t k = 0; k < std::size(kWidth); ++k)
        if (kWidth[k] != 0) o << separator << kKind[k] << " = " << kWidth[k], separator = ", ";
    o << "}\n";
    o << "-- {kind, name, arg, max}: arg is the flag bits, the fixed value or the\n"
         "-- record; max the longest string or, for \"if\", the fields it covers.\n";
    o << "local records = {\n";
    for (size_t k = 0; k < std::size(twl_records); ++k) {
        o << "  [" << k << "] = {name = \"" << twl_records[k].name << "\", max = " << twl_records[k].max_size << ", fields = ";
        lua_fields(o, twl_records[k].fields);
        o << "},\n";
    }
    o << "}\nlocal messages = {\n";
    for (const twl_layout_t &m : twl_messages) {
        o << "  [" << hex(m.type) << "] = {name = \"" << m.name << "\", abbrev = \"" << lower(m.name)
          << "\", max = " << m.max_size << ", fields = ";
        lua_fields(o, m.fields);
        o << "},\n";
    }
    o << "}\n";
    return o.str();
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "--write" && mode != "--check") {
        std::fputs("usage: twl-gen --write|--check FILE\n", stderr);
        return 2;
    }
    const std::string path = argv[2];
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool md = path.size() > 3 && path.compare(path.size() - 3, 3, ".md") == 0;
    const std::string begin = md ? "<!-- layout: begin -->\n" : "-- layout: begin\n";
    const std::string end = md ? "<!-- layout: end -->\n" : "-- layout: end\n";
    const size_t from = text.find(begin);
    const size_t to = text.find(end);
    if (!in || from == std::string::npos || to == std::string::npos || to < from) {
        std::fprintf(stderr, "twl-gen: %s: no layout block\n", path.c_str());
        return 2;
    }
    const std::string fresh = text.substr(0, from + begin.size()) + (md ? markdown() : lua()) + text.substr(to);
    if (mode == "--check") {
        if (fresh == text) return 0;
        std::fprintf(stderr, "twl-gen: %s is stale; run twl-gen --write %s\n", path.c_str(), path.c_str());
        return 1;
    }
    std::ofstream(path) << fresh;
    return 0;
}
