// TWL payloads as named fields, for the tests and the fuzz harnesses: every
// typed builder called from fields, every typed parser's view turned into
// fields, and the golden vectors of vectors/*.txt read from their files.
#ifndef TWRELAY_TESTS_WIRE_H
#define TWRELAY_TESTS_WIRE_H

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/twl_layout.h"
#include "twl_client.h"

namespace wire {

using Bytes = std::vector<uint8_t>;

// One field of a payload, or one builder argument: an integer, a string (or
// byte string), a null pointer, or an entry or record with fields of its own.
struct Field {
    enum Kind { kInt, kText, kNull, kRecord } kind = kInt;
    std::string name;
    uint64_t num = 0;
    std::string text;
    std::vector<Field> sub;
    bool operator==(const Field &) const = default;
};
using Record = std::vector<Field>;

std::string describe(const Record &r);  // one line, for failure messages
const Field *find(const Record &r, std::string_view name);  // the first of that name, or null

// The layout field `name` of a message or record ("guild_list", "guild"), or
// of the first layout that has one when the scope is empty; null when none has.
const twl_field_t *field_of(std::string_view scope, std::string_view name);
std::string lower(std::string s);

// One message type: its layout, its typed builder fed from named arguments,
// and its typed parser's view as fields in any order.
struct Codec {
    const twl_layout_t *layout;
    std::string name;  // lower case: "guild_list"
    uint8_t *(*build)(const Record &args, size_t *len);
    std::optional<Record> (*parse_bag)(const uint8_t *payload, size_t len);
};
const std::vector<Codec> &codecs();
const Codec *codec_named(std::string_view name);

// The typed parser's fields in wire order, or nullopt when it refuses.
std::optional<Record> parse(const Codec &c, const uint8_t *payload, size_t len);

// The builder's frame, or nullopt when it gives none (then it must also store 0).
std::optional<Bytes> build(const Codec &c, const Record &args);

// Adds what one event of the client's streaming reader gives (a field, a
// piece of text, an entry or record beginning) to the fields of its frame.
void add_client_event(Record &fields, int kind, const twlc_event &ev);

// `fields` with every name that `input` gives replaced by the input's fields.
Record merge(const Record &fields, const Record &input);

struct Vector {
    std::string file, label;  // label: "status/cut"
    const Codec *codec = nullptr;
    Record fields, input;
    std::optional<Bytes> frame;  // nullopt: the builder refuses
    bool malformed = false;      // frame holds a frame whose payload the parser refuses
};
// Every vector of every vectors/*.txt under `dir`, in file and line order.
// A vector that does not read aborts the test run with its file and line.
std::vector<Vector> load_vectors(const std::string &dir);

// A file of byte notation alone, as in a vector's frame line, with comments.
Bytes load_bytes(const std::string &path);
// The same notation in a text; a text that does not read throws, naming `where`.
std::string bytes_of(const std::string &text, const std::string &where);

}  // namespace wire

#endif
