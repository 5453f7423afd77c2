// twl-dump: prints a stream of TWL frames, one block per frame.
//
//   twl-dump [--hex] [--version] [FILE]      FILE "-" or no FILE reads standard input
//
// Each block opens with the frame's stream offset, type name and code and
// payload length, then lists every field by name, in wire order. Strings are
// shown in double quotes as the client receives them:
//   - printable ASCII (0x20 to 0x7E) as it is, except  \  "  <  which read
//     \\  \"  \<  so that the markup below stays unambiguous;
//   - the style codes 0x01, 0x02, 0x03 as <b> <i> <code> where they open a
//     span and </b> </i> </code> where they close it;
//   - every other byte, Mac OS Roman glyphs included, as \xNN (0xA5, the
//     bullet, is \xA5).
// Bytes discarded between frames get their own block. A payload that does not
// parse as its type, and a frame of a type this relay does not define, are
// shown in hex. --hex adds a hex dump of every frame. The last line totals
// the stream: "total: bytes=N frames=N malformed=N skipped=N".
//
// Exit status: 0 when every byte belonged to a well-formed frame (a type this
// relay does not define counts as well-formed, for it may be newer); 1 when the
// stream ended inside a frame, bytes were skipped or a payload did not parse;
// 2 on a usage or read error.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "relay/twl_reader.h"
#include "relay/twr_version.h"

namespace {

void print_escaped(const uint8_t *p, size_t n) {
    static const char *const open_tag[4] = {nullptr, "<b>", "<i>", "<code>"};
    static const char *const close_tag[4] = {nullptr, "</b>", "</i>", "</code>"};
    bool in_span[4] = {false, false, false, false};
    std::putchar('"');
    for (size_t k = 0; k < n; ++k) {
        const uint8_t b = p[k];
        if (b >= 0x01 && b <= 0x03) {
            std::fputs(in_span[b] ? close_tag[b] : open_tag[b], stdout);
            in_span[b] = !in_span[b];
        } else if (b == '\\' || b == '"' || b == '<') {
            std::printf("\\%c", b);
        } else if (b >= 0x20 && b <= 0x7E) {
            std::putchar(b);
        } else {
            std::printf("\\x%02X", b);
        }
    }
    std::putchar('"');
}

const char *bytes(unsigned long long n) { return n == 1 ? "byte" : "bytes"; }

void indent(int depth) {
    for (int k = 0; k < depth; ++k) std::fputs("  ", stdout);
}

void field(int depth, const char *name, unsigned long value) {
    indent(depth);
    std::printf("%s: %lu\n", name, value);
}

void field_hex8(int depth, const char *name, uint8_t value) {
    indent(depth);
    std::printf("%s: 0x%02X\n", name, value);
}

void field_str(int depth, const char *name, twl_str_t s) {
    indent(depth);
    std::printf("%s: ", name);
    print_escaped(s.ptr, s.len);
    std::printf(" (%u %s)\n", unsigned(s.len), bytes(s.len));
}

// Sixteen bytes a line: offset, hex in two groups of eight, printable ASCII.
void hex_dump(int depth, const uint8_t *p, size_t n) {
    for (size_t line = 0; line < n; line += 16) {
        indent(depth);
        std::printf("%04zx ", line);
        for (size_t k = 0; k < 16; ++k) {
            if (k == 8) std::putchar(' ');
            if (line + k < n) std::printf(" %02x", p[line + k]);
            else std::fputs("   ", stdout);
        }
        std::fputs("  |", stdout);
        for (size_t k = line; k < n && k < line + 16; ++k)
            std::putchar(p[k] >= 0x20 && p[k] <= 0x7E ? p[k] : '.');
        std::fputs("|\n", stdout);
    }
}

void message_fields(int depth, const twl_message_view_t &m) {
    field(depth, "id", m.id);
    field(depth, "id_b", m.id_b);
    field(depth, "value32", m.value32);
    field_hex8(depth, "flags", m.flags);
    field(depth, "value16", m.value16);
    field_str(depth, "name", m.name);
    field_str(depth, "text", m.text);
    if (m.flags & 0x02) {
        field_str(depth, "item_name", m.item_name);
        field(depth, "item_id", m.item_id);
    }
    field(depth, "value16_b", m.value16_b);
    if (m.flags & 0x04) {
        field_str(depth, "trailer_name", m.trailer_name);
        field_str(depth, "trailer_text", m.trailer_text);
    }
}

void entry_heading(const char *what, unsigned index) {
    indent(1);
    std::printf("%s %u:\n", what, index);
}

// Guild and member entries share their layout and field names.
template <typename View>
void named_entry(const char *what, unsigned index, const View &e) {
    entry_heading(what, index);
    field(2, "id", e.id);
    field_str(2, "name", e.name);
    field(2, "value8", e.value8);
    field(2, "value16", e.value16);
}

// Prints the fields of a known type; false when the payload does not parse.
bool dump_fields(const twl_frame_t &f) {
    const uint8_t *p = f.payload;
    const size_t n = f.payload_len;
    twl_list_t list;
    unsigned k = 0;
    switch (f.type) {
    case TWR_MSG_HANDSHAKE_ACK: {
        twl_handshake_ack_view_t v;
        if (twl_parse_handshake_ack(p, n, &v) != TWR_OK) return false;
        field(1, "value_a", v.value_a);
        field(1, "value_b", v.value_b);
        field_str(1, "text", v.text);
        return true;
    }
    case TWR_MSG_AUTH_RESULT: {
        twl_auth_result_view_t v;
        if (twl_parse_auth_result(p, n, &v) != TWR_OK) return false;
        field(1, "result", v.result);
        field_str(1, "text_a", v.text_a);
        field_str(1, "text_b", v.text_b);
        field(1, "value", v.value);
        return true;
    }
    case TWR_MSG_STATUS: {
        twl_status_view_t v;
        if (twl_parse_status(p, n, &v) != TWR_OK) return false;
        field(1, "value_a", v.value_a);
        field(1, "value_b", v.value_b);
        field_str(1, "text", v.text);
        return true;
    }
    case TWR_MSG_ERROR: {
        twl_error_view_t v;
        if (twl_parse_error(p, n, &v) != TWR_OK) return false;
        field(1, "value_a", v.value_a);
        field(1, "value_b", v.value_b);
        field_str(1, "text", v.text);
        return true;
    }
    case TWR_MSG_GATEWAY_STATE: {
        uint8_t state;
        if (twl_parse_gateway_state(p, n, &state) != TWR_OK) return false;
        field(1, "state", state);
        return true;
    }
    case TWR_MSG_PONG:
        return twl_parse_pong(p, n) == TWR_OK;
    case TWR_MSG_GUILD_LIST: {
        if (twl_parse_guild_list(p, n, &list) != TWR_OK) return false;
        field(1, "count", list.count);
        twl_guild_view_t e;
        while (twl_list_next_guild(&list, &e)) named_entry("guild", k++, e);
        return true;
    }
    case TWR_MSG_MEMBER_LIST: {
        if (twl_parse_member_list(p, n, &list) != TWR_OK) return false;
        field(1, "count", list.count);
        twl_member_view_t e;
        while (twl_list_next_member(&list, &e)) named_entry("member", k++, e);
        return true;
    }
    case TWR_MSG_DM_LIST: {
        if (twl_parse_dm_list(p, n, &list) != TWR_OK) return false;
        field(1, "count", list.count);
        twl_dm_view_t e;
        while (twl_list_next_dm(&list, &e)) {
            entry_heading("dm", k++);
            field(2, "id", e.id);
            field_str(2, "name", e.name);
            field(2, "value16", e.value16);
            field(2, "value8", e.value8);
        }
        return true;
    }
    case TWR_MSG_CHANNEL_LIST: {
        if (twl_parse_channel_list(p, n, &list) != TWR_OK) return false;
        field(1, "id", list.id);
        field(1, "count", list.count);
        twl_channel_view_t e;
        while (twl_list_next_channel(&list, &e)) {
            entry_heading("channel", k++);
            field(2, "id", e.id);
            field(2, "value8_a", e.value8_a);
            field_str(2, "name", e.name);
            field(2, "value8_b", e.value8_b);
            field(2, "value16", e.value16);
        }
        return true;
    }
    case TWR_MSG_MESSAGE_BATCH: {
        if (twl_parse_message_batch(p, n, &list) != TWR_OK) return false;
        field(1, "id", list.id);
        field_hex8(1, "batch_flags", list.flags);
        field(1, "count", list.count);
        twl_message_view_t m;
        while (twl_list_next_message(&list, &m)) {
            entry_heading("message", k++);
            message_fields(2, m);
        }
        return true;
    }
    case TWR_MSG_MESSAGE_CREATE: {
        twl_message_create_view_t v;
        if (twl_parse_message_create(p, n, &v) != TWR_OK) return false;
        field(1, "id", v.id);
        indent(1);
        std::puts("message:");
        message_fields(2, v.message);
        return true;
    }
    case TWR_MSG_MESSAGE_DELETE: {
        twl_message_delete_view_t v;
        if (twl_parse_message_delete(p, n, &v) != TWR_OK) return false;
        field(1, "id_a", v.id_a);
        field(1, "id_b", v.id_b);
        return true;
    }
    case TWR_MSG_MESSAGE_UPDATE: {
        twl_message_update_view_t v;
        if (twl_parse_message_update(p, n, &v) != TWR_OK) return false;
        field(1, "id_a", v.id_a);
        field(1, "id_b", v.id_b);
        field_str(1, "text", v.text);
        return true;
    }
    case TWR_MSG_TYPING_START: {
        twl_typing_start_view_t v;
        if (twl_parse_typing_start(p, n, &v) != TWR_OK) return false;
        field(1, "id", v.id);
        field_str(1, "name", v.name);
        return true;
    }
    case TWR_MSG_UNREAD_UPDATE: {
        twl_unread_update_view_t v;
        if (twl_parse_unread_update(p, n, &v) != TWR_OK) return false;
        field(1, "id", v.id);
        field(1, "value8", v.value8);
        field(1, "value16", v.value16);
        return true;
    }
    case TWR_MSG_IMAGE_DATA: {
        twl_image_data_view_t v;
        if (twl_parse_image_data(p, n, &v) != TWR_OK) return false;
        field(1, "id", v.id);
        field(1, "value8_a", v.value8_a);
        field(1, "value8_b", v.value8_b);
        field(1, "value8_c", v.value8_c);
        field(1, "value16_a", v.value16_a);
        field(1, "value16_b", v.value16_b);
        field(1, "value16_c", v.value16_c);
        field(1, "data_len", v.data_len);
        indent(1);
        std::puts("data:");
        // The first 64 data bytes; --hex shows them all.
        hex_dump(2, v.data, v.data_len < 64 ? v.data_len : 64);
        if (v.data_len > 64) {
            indent(2);
            std::printf("... %lu more bytes\n", static_cast<unsigned long>(v.data_len - 64));
        }
        return true;
    }
    case TWR_MSG_VOICE_STATUS: {
        twl_voice_status_view_t v;
        if (twl_parse_voice_status(p, n, &v) != TWR_OK) return false;
        field(1, "value8", v.value8);
        field(1, "id", v.id);
        field_str(1, "name", v.name);
        return true;
    }
    case TWR_MSG_VOICE_MEMBERS: {
        if (twl_parse_voice_members(p, n, &list) != TWR_OK) return false;
        field(1, "id", list.id);
        field(1, "count", list.count);
        twl_voice_member_view_t e;
        while (twl_list_next_voice_member(&list, &e)) {
            entry_heading("member", k++);
            field(2, "id", e.id);
            field_str(2, "name", e.name);
            field(2, "value8", e.value8);
        }
        return true;
    }
    case TWR_MSG_VOICE_SPEAKING: {
        twl_voice_speaking_view_t v;
        if (twl_parse_voice_speaking(p, n, &v) != TWR_OK) return false;
        field(1, "id", v.id);
        field(1, "value8", v.value8);
        return true;
    }
    case TWR_MSG_VOICE_ERROR: {
        twl_voice_error_view_t v;
        if (twl_parse_voice_error(p, n, &v) != TWR_OK) return false;
        field(1, "value8", v.value8);
        field_str(1, "text", v.text);
        return true;
    }
    default:
        return false;
    }
}

struct tally {
    unsigned long frames = 0;
    unsigned long malformed = 0;
    unsigned long long skipped = 0;
};

void skipped_note(uint64_t at, uint64_t n) {
    std::printf("offset %llu: skipped %llu %s (no valid frame header)\n",
                static_cast<unsigned long long>(at), static_cast<unsigned long long>(n), bytes(n));
}

void dump_frame(const twl_frame_t &f, bool hex, tally &t) {
    if (f.skipped != 0) {
        skipped_note(f.offset - f.skipped, f.skipped);
        t.skipped += f.skipped;
    }
    ++t.frames;
    const char *name = twl_msg_type_name(f.type);
    std::printf("offset %llu: ", static_cast<unsigned long long>(f.offset));
    if (name != nullptr) std::printf("%s (0x%02X)", name, f.type);
    else std::printf("unknown type 0x%02X", f.type);
    std::printf(", payload %lu %s\n", static_cast<unsigned long>(f.payload_len), bytes(f.payload_len));
    if (name != nullptr && !dump_fields(f)) {
        ++t.malformed;
        std::printf("  malformed %s payload:\n", name);
        hex_dump(2, f.payload, f.payload_len);
    } else if (name == nullptr) {
        std::puts("  payload bytes:");
        hex_dump(2, f.payload, f.payload_len);
    }
    if (hex) {
        std::puts("  frame bytes:");
        hex_dump(2, f.payload - TWR_MSG_HEADER_SIZE, TWR_MSG_HEADER_SIZE + size_t(f.payload_len));
    }
}

int usage(FILE *to) {
    std::fputs("usage: twl-dump [--hex] [--version] [FILE]\n"
               "Prints each TWL frame of FILE (or standard input) with its fields.\n",
               to);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool hex = false;
    const char *path = nullptr;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--hex") == 0) hex = true;
        else if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            usage(stdout);
            return 0;
        }
        else if (std::strcmp(argv[k], "--version") == 0) {
            std::printf("twl-dump %s\n", twr_version());
            return 0;
        }
        else if (argv[k][0] == '-' && argv[k][1] != '\0') return usage(stderr);
        else if (path != nullptr) return usage(stderr);
        else path = argv[k];
    }
    int fd = STDIN_FILENO;
    if (path != nullptr && std::strcmp(path, "-") != 0) {
        fd = open(path, O_RDONLY);
        if (fd < 0) {
            std::fprintf(stderr, "twl-dump: %s: %s\n", path, std::strerror(errno));
            return 2;
        }
    }

    std::vector<uint8_t> buf(TWR_READER_BUFFER_SIZE);
    twl_reader_t reader;
    twl_reader_init(&reader, buf.data(), buf.size());
    tally t;
    for (;;) {
        twl_frame_t f;
        while (twl_reader_next(&reader, &f)) dump_frame(f, hex, t);
        // Frames show up as they arrive when the input is a live connection.
        std::fflush(stdout);
        size_t room = 0;
        uint8_t *at = twl_reader_space(&reader, &room);
        const ssize_t got = read(fd, at, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::fprintf(stderr, "twl-dump: read error: %s\n", std::strerror(errno));
            return 2;
        }
        if (got == 0) break;
        twl_reader_commit(&reader, size_t(got));
    }
    if (fd != STDIN_FILENO) close(fd);

    const uint64_t end = twl_reader_offset(&reader);
    if (twl_reader_skipped(&reader) != 0) {
        skipped_note(end - twl_reader_skipped(&reader), twl_reader_skipped(&reader));
        t.skipped += twl_reader_skipped(&reader);
    }
    const size_t pending = twl_reader_pending(&reader);
    if (pending != 0)
        std::printf("offset %llu: stream ends inside a frame (%zu %s)\n",
                    static_cast<unsigned long long>(end), pending, bytes(pending));
    std::printf("total: bytes=%llu frames=%lu malformed=%lu skipped=%llu\n",
                static_cast<unsigned long long>(end + pending), t.frames, t.malformed, t.skipped);
    return pending != 0 || t.skipped != 0 || t.malformed != 0 ? 1 : 0;
}
