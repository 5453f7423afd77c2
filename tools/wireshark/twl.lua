-- TWL, the binary protocol from the Tarnwick relay to its clients, for
-- Wireshark and tshark.
--
--   wireshark -X lua_script:/usr/local/share/twrelay/wireshark/twl.lua
--   (or copy this file into ~/.local/lib/wireshark/plugins/)
--
-- A frame is "TRWK", version 1, the message type (u8) and the payload length
-- (u32), then the payload. Integers are big-endian; a string is a u16 length
-- and that many bytes, shown as Mac OS Roman with the style bytes 0x01, 0x02
-- and 0x03 as <b>...</b>, <i>...</i> and <code>...</code>.
--
-- The protocol takes TCP port 2002 (preference twl.port) and, through a
-- heuristic, a TCP conversation in which the first data one side sends opens
-- with "TRWK" 01: that side is the relay. The other side's data is shown as
-- client data, undecoded, since TWL has no client-to-relay frames. Frames
-- are put back together across segments. As in the relay's reader, a header
-- with the wrong magic, another version or a payload over 2 MiB costs one
-- byte, and the bytes up to the next "TRWK" are skipped. A payload is held to
-- what the relay's builders write: the first field that breaks its layout
-- gets an expert-info error and the rest of the payload is shown undecoded.
--
-- A frame that the capture cuts off is flagged only when the file is read
-- in two passes, as Wireshark does and as `tshark -2` does: the first pass
-- notes every frame that never completes.
--
-- `tshark -z twl,types` (Statistics > TWL in Wireshark) counts the frames
-- and payload bytes of each type. The file runs on Lua 5.2 to 5.4; loaded
-- by a Lua without Wireshark, it returns its text helpers.
--
-- The tables between "layout: begin" and "layout: end" are written by
-- `twl-gen --write` from relay/twl_wire.h; do not edit them by hand.

-- layout: begin
local MAGIC = "TRWK"
local VERSION = 1
local HEADER = 10
local max_payload = 2097152
-- The bytes each kind takes before its text or entries.
local WIDTH = {u8 = 1, u16 = 2, u32 = 4, i16 = 2, flags = 1, fixed = 1, string = 2, count8 = 1, count16 = 2, length = 4}
-- {kind, name, arg, max}: arg is the flag bits, the fixed value or the
-- record; max the longest string or, for "if", the fields it covers.
local records = {
  [0] = {name = "message", max = 2212, fields = {
    {"u16", "id", 0, 0},
    {"u16", "id_b", 0, 0},
    {"u32", "value32", 0, 0},
    {"flags", "flags", 255, 0},
    {"u16", "value16", 0, 0},
    {"string", "name", 0, 31},
    {"string", "text", 0, 2000},
    {"if", "item", 2, 4},
    {"fixed", "item_count", 1, 0},
    {"string", "item_name", 0, 63},
    {"fixed", "item_kind", 1, 0},
    {"u16", "item_id", 0, 0},
    {"u16", "value16_b", 0, 0},
    {"if", "trailer", 4, 2},
    {"string", "trailer_name", 0, 31},
    {"string", "trailer_text", 0, 60},
  }},
  [1] = {name = "guild", max = 38, fields = {
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
    {"u8", "value8", 0, 0},
    {"u16", "value16", 0, 0},
  }},
  [2] = {name = "member", max = 38, fields = {
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
    {"u8", "value8", 0, 0},
    {"u16", "value16", 0, 0},
  }},
  [3] = {name = "dm", max = 38, fields = {
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
    {"u16", "value16", 0, 0},
    {"u8", "value8", 0, 0},
  }},
  [4] = {name = "channel", max = 39, fields = {
    {"u16", "id", 0, 0},
    {"u8", "value8_a", 0, 0},
    {"string", "name", 0, 31},
    {"u8", "value8_b", 0, 0},
    {"u16", "value16", 0, 0},
  }},
  [5] = {name = "voice_member", max = 36, fields = {
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
    {"u8", "value8", 0, 0},
  }},
}
local messages = {
  [0x81] = {name = "HANDSHAKE_ACK", abbrev = "handshake_ack", max = 37, fields = {
    {"u8", "value_a", 0, 0},
    {"u8", "value_b", 0, 0},
    {"fixed", "reserved", 0, 0},
    {"string", "text", 0, 32},
  }},
  [0x82] = {name = "AUTH_RESULT", abbrev = "auth_result", max = 46, fields = {
    {"u8", "result", 0, 0},
    {"string", "text_a", 0, 31},
    {"string", "text_b", 0, 8},
    {"u16", "value", 0, 0},
  }},
  [0x83] = {name = "GUILD_LIST", abbrev = "guild_list", max = 2097152, fields = {
    {"count16", "count", 0, 0},
    {"entries", "guild", 1, 0},
  }},
  [0x84] = {name = "CHANNEL_LIST", abbrev = "channel_list", max = 2097152, fields = {
    {"u16", "id", 0, 0},
    {"count16", "count", 0, 0},
    {"entries", "channel", 4, 0},
  }},
  [0x85] = {name = "MESSAGE_BATCH", abbrev = "message_batch", max = 65536, fields = {
    {"u16", "id", 0, 0},
    {"flags", "batch_flags", 3, 0},
    {"count16", "count", 0, 0},
    {"entries", "message", 0, 0},
  }},
  [0x86] = {name = "MESSAGE_CREATE", abbrev = "message_create", max = 2214, fields = {
    {"u16", "id", 0, 0},
    {"record", "message", 0, 0},
  }},
  [0x87] = {name = "MESSAGE_DELETE", abbrev = "message_delete", max = 4, fields = {
    {"u16", "id_a", 0, 0},
    {"u16", "id_b", 0, 0},
  }},
  [0x88] = {name = "MESSAGE_UPDATE", abbrev = "message_update", max = 2006, fields = {
    {"u16", "id_a", 0, 0},
    {"u16", "id_b", 0, 0},
    {"string", "text", 0, 2000},
  }},
  [0x89] = {name = "TYPING_START", abbrev = "typing_start", max = 35, fields = {
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
  }},
  [0x8B] = {name = "IMAGE_DATA", abbrev = "image_data", max = 2097152, fields = {
    {"u16", "id", 0, 0},
    {"u8", "value8_a", 0, 0},
    {"u8", "value8_b", 0, 0},
    {"u8", "value8_c", 0, 0},
    {"u16", "value16_a", 0, 0},
    {"u16", "value16_b", 0, 0},
    {"u16", "value16_c", 0, 0},
    {"length", "data_len", 0, 0},
    {"bytes", "data", 0, 0},
  }},
  [0x8C] = {name = "STATUS", abbrev = "status", max = 132, fields = {
    {"u8", "value_a", 0, 0},
    {"u8", "value_b", 0, 0},
    {"string", "text", 0, 128},
  }},
  [0x8D] = {name = "ERROR", abbrev = "error", max = 261, fields = {
    {"u8", "value_a", 0, 0},
    {"u16", "value_b", 0, 0},
    {"string", "text", 0, 256},
  }},
  [0x8E] = {name = "UNREAD_UPDATE", abbrev = "unread_update", max = 5, fields = {
    {"u16", "id", 0, 0},
    {"u8", "value8", 0, 0},
    {"u16", "value16", 0, 0},
  }},
  [0x8F] = {name = "DM_LIST", abbrev = "dm_list", max = 2097152, fields = {
    {"count16", "count", 0, 0},
    {"entries", "dm", 3, 0},
  }},
  [0x90] = {name = "MEMBER_LIST", abbrev = "member_list", max = 2097152, fields = {
    {"count16", "count", 0, 0},
    {"entries", "member", 2, 0},
  }},
  [0x91] = {name = "GATEWAY_STATE", abbrev = "gateway_state", max = 1, fields = {
    {"u8", "state", 0, 0},
  }},
  [0x92] = {name = "PONG", abbrev = "pong", max = 0, fields = {
  }},
  [0x93] = {name = "VOICE_STATUS", abbrev = "voice_status", max = 36, fields = {
    {"u8", "value8", 0, 0},
    {"u16", "id", 0, 0},
    {"string", "name", 0, 31},
  }},
  [0x94] = {name = "VOICE_MEMBERS", abbrev = "voice_members", max = 9183, fields = {
    {"u16", "id", 0, 0},
    {"count8", "count", 0, 0},
    {"entries", "member", 5, 0},
  }},
  [0x95] = {name = "VOICE_SPEAKING", abbrev = "voice_speaking", max = 3, fields = {
    {"u16", "id", 0, 0},
    {"u8", "value8", 0, 0},
  }},
  [0x96] = {name = "VOICE_ERROR", abbrev = "voice_error", max = 131, fields = {
    {"u8", "value8", 0, 0},
    {"string", "text", 0, 128},
  }},
}
-- layout: end
-- ---- Strings ---------------------------------------------------------------

-- Mac OS Roman 0x80 to 0xFF, Apple's current table (0xDB the euro sign,
-- 0xF0 the Apple logo).
local MAC_ROMAN = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
}
local function utf8_of(cp)
    if cp < 0x800 then
        return string.char(0xC0 + math.floor(cp / 0x40), 0x80 + cp % 0x40)
    end
    return string.char(0xE0 + math.floor(cp / 0x1000), 0x80 + math.floor(cp / 0x40) % 0x40, 0x80 + cp % 0x40)
end
local DECODE = {}
for b = 0x80, 0xFF do DECODE[string.char(b)] = utf8_of(MAC_ROMAN[b - 0x7F]) end
local STYLE = {"b", "i", "code"}

-- The bytes of a string as UTF-8, a style byte as the tag that opens or
-- closes its span.
local function decode(bytes)
    if not bytes:find("[\1-\3\128-\255]") then return bytes end
    local open = {}
    return (bytes:gsub("[\1-\3\128-\255]", function(c)
        local b = c:byte()
        if b > 3 then return DECODE[c] end
        open[b] = not open[b]
        return (open[b] and "<" or "</") .. STYLE[b] .. ">"
    end))
end


-- ---- Titles and the Info column -------------------------------------------
-- Nothing from the top of the file to the end of this section needs
-- Wireshark: a plain Lua gets these helpers back from loading the file.

-- Strings in titles and in the Info column are cut to this many bytes.
local SHORT = 24

local function quote(bytes)
    if #bytes > SHORT then return '"' .. decode(bytes:sub(1, SHORT - 1)) .. '..."' end
    return '"' .. decode(bytes) .. '"'
end

-- "1 guild", "2 guilds".
local function count_of(n, word)
    return string.format("%d %s%s", n, word, n == 1 and "" or "s")
end

-- The fields that name a record or a frame: its id (or its ids when it has
-- no plain id), its first two strings, its entries or record and the length
-- of its data. Kept as {role, name} in the layout as `keys`; such a field
-- is marked `key`, and only key fields have their values noted.
local function key_fields(fields)
    local keys, has_id, strings = {}, false, 0
    local function key(f, role) keys[#keys + 1], f.key = {role, f[2]}, true end
    for _, f in ipairs(fields) do has_id = has_id or f[2] == "id" end
    for _, f in ipairs(fields) do
        local kind, name = f[1], f[2]
        if kind == "u16" and (name == "id" or not has_id and name:find("^id_")) then
            key(f, "id")
        elseif kind == "string" and strings < 2 then
            key(f, "string")
            strings = strings + 1
        elseif kind == "entries" or kind == "record" or kind == "length" then
            key(f, kind)
        end
    end
    return keys
end
for _, layouts in ipairs({records, messages}) do
    for _, l in pairs(layouts) do l.keys = key_fields(l.fields) end
end

-- What the key fields held (`vals`: field name to value, strings as their
-- bytes), as a title ('"Quadra Club" (id 9)') or, for the Info column, as
-- 'id 9 "Quadra Club"'. A frame that carries one record is summed up by it.
local function summary(keys, vals, title)
    local ids, named, rest
    for _, k in ipairs(keys) do
        local role, v = k[1], vals[k[2]]
        if v == nil then
        elseif role == "id" then ids = (ids and ids .. ", " or "") .. k[2] .. " " .. v
        elseif role == "string" then named = (named and named .. ": " or "") .. quote(v)
        elseif role == "record" then if not title then return v end
        elseif role == "entries" then rest = (rest and rest .. ", " or "") .. count_of(v, k[2])
        else rest = (rest and rest .. ", " or "") .. count_of(v, "byte") end
    end
    local text
    if title then
        text = ids and (named and named .. " (" .. ids .. ")" or ids) or named or ""
    else
        text = ids and (named and ids .. " " .. named or ids) or named or ""
    end
    if rest then text = text == "" and rest or text .. ", " .. rest end
    return text
end

-- The message statistics as text: frames and payload bytes per type, then
-- the malformed and skipped counts. `stats` is as the dissector keeps it.
local function report(stats)
    local lines = {"TWL message types", string.format("%-16s %10s %14s", "Type", "Frames", "Payload bytes")}
    local codes = {}
    for code in pairs(stats.types) do codes[#codes + 1] = code end
    table.sort(codes)
    for _, code in ipairs(codes) do
        local m, t = messages[code], stats.types[code]
        lines[#lines + 1] = string.format("%-16s %10d %14d", m and m.name or string.format("0x%02X", code),
                                          t.frames, t.bytes)
    end
    lines[#lines + 1] = string.format("Malformed frames: %d", stats.malformed)
    lines[#lines + 1] = string.format("Frames cut off by the end of the capture: %d", stats.cut)
    lines[#lines + 1] = string.format("Skipped: %s in %s", count_of(stats.skipped, "byte"), count_of(stats.runs, "run"))
    lines[#lines + 1] = string.format("Client data: %s", count_of(stats.client, "byte"))
    return table.concat(lines, "\n") .. "\n"
end

if not Proto then
    return {decode = decode, quote = quote, count_of = count_of, summary = summary, report = report,
            records = records, messages = messages}
end

-- ---- Fields ---------------------------------------------------------------

local twl = Proto("twl", "Tarnwick relay protocol")

local type_names = {}
for code, m in pairs(messages) do type_names[code] = m.name end
local BYTES = {" byte", " bytes"}

local hf = {
    magic = ProtoField.string("twl.magic", "Magic"),
    version = ProtoField.uint8("twl.version", "Version"),
    type = ProtoField.uint8("twl.type", "Type", base.HEX, type_names),
    length = ProtoField.uint32("twl.length", "Length", base.UNIT_STRING, BYTES),
    skipped = ProtoField.bytes("twl.skipped", "Skipped bytes"),
    skipped_len = ProtoField.uint32("twl.skipped_len", "Skipped", base.UNIT_STRING, BYTES),
    captured = ProtoField.uint32("twl.captured", "Captured of this frame", base.UNIT_STRING, BYTES),
    longest = ProtoField.uint32("twl.longest", "Longest payload of this type", base.UNIT_STRING, BYTES),
    field = ProtoField.string("twl.field", "Field"),
    string_len = ProtoField.uint16("twl.string_len", "String length", base.UNIT_STRING, BYTES),
    string_max = ProtoField.uint16("twl.string_max", "Longest string of this field", base.UNIT_STRING, BYTES),
    following = ProtoField.uint32("twl.following", "Bytes that follow", base.UNIT_STRING, BYTES),
    left_over = ProtoField.uint32("twl.left_over", "Left over", base.UNIT_STRING, BYTES),
    undecoded = ProtoField.bytes("twl.undecoded", "Undecoded bytes"),
    client = ProtoField.bytes("twl.client_data", "Client data"),
}

-- The named bits of each flag byte: those that switch an optional block on
-- are named by the block (an "if" field after the flag byte); the batch
-- flags, which only the relay's logic reads, are named here.
local BITS = {["message_batch.batch_flags"] = {{"a", 0x01}, {"b", 0x02}}}

local MAKE = {
    u8 = ProtoField.uint8, u16 = ProtoField.uint16, u32 = ProtoField.uint32,
    i16 = ProtoField.int16, fixed = ProtoField.uint8, count8 = ProtoField.uint8,
    count16 = ProtoField.uint16, length = ProtoField.uint32,
    flags = function(abbrev, name) return ProtoField.uint8(abbrev, name, base.HEX) end,
    string = ProtoField.string, bytes = ProtoField.bytes,
    entries = ProtoField.none, record = ProtoField.none,
}

-- A flag byte's bit fields, each its own filter (twl.message.flags.item),
-- and one for the bits left: passed through when a builder copies them
-- from its caller, never set otherwise.
local function bit_fields(abbrev, scope, fields, k)
    local f, bits, named = fields[k], {}, 0
    for _, b in ipairs(BITS[scope .. "." .. f[2]] or {}) do bits[#bits + 1] = b end
    for j = k + 1, #fields do
        if fields[j][1] == "if" then bits[#bits + 1] = {fields[j][2], fields[j][3]} end
    end
    local made = {}
    for _, b in ipairs(bits) do
        made[#made + 1] = ProtoField.bool(abbrev .. "." .. b[1], b[1], 8, nil, b[2])
        named = named + b[2]
    end
    if named < 0xFF then
        local rest = 0xFF - named
        made[#made + 1] = f[3] == 0xFF
            and ProtoField.uint8(abbrev .. ".other", "Other bits (the caller's)", base.HEX, nil, rest)
            or ProtoField.uint8(abbrev .. ".unused", "Bits no builder sets", base.HEX, nil, rest)
    end
    for _, m in ipairs(made) do hf[#hf + 1] = m end
    return made
end

-- A payload's own fields are twl.<type>.<field>, the fields of a record or
-- list entry twl.<record>.<field>, the entry itself twl.<record>. Records of
-- the same name share their fields, which must then be of the same type.
local made_by, bits_of = {}, {}
local function abbrev_of(scope, f)
    if f[1] == "entries" or f[1] == "record" then return "twl." .. records[f[3]].name end
    return "twl." .. scope .. "." .. f[2]
end
local function register(scope, fields)
    for k, f in ipairs(fields) do
        local abbrev = abbrev_of(scope, f)
        if MAKE[f[1]] and not hf[abbrev] then
            hf[abbrev] = MAKE[f[1]](abbrev, f[2])
            made_by[abbrev] = MAKE[f[1]]
            if f[1] == "flags" then bits_of[abbrev] = bit_fields(abbrev, scope, fields, k) end
        elseif MAKE[f[1]] and made_by[abbrev] ~= MAKE[f[1]] then
            error("twl.lua: " .. abbrev .. " has two types")
        end
        f.field, f.bits = hf[abbrev], bits_of[abbrev]
    end
end
for _, r in pairs(records) do register(r.name, r.fields) end
for _, m in pairs(messages) do register(m.abbrev, m.fields) end
twl.fields = hf

-- Each expert info has one summary, so that `tshark -z expert` counts a
-- kind of problem in one row; its figures are in the fields beside it.
local function new_expert(abbrev, text, severity, group)
    return ProtoExpert.new("twl.expert." .. abbrev, text, group or expert.group.MALFORMED,
                           severity or expert.severity.ERROR)
end
local ef = {
    skipped = new_expert("skipped", "Bytes that do not open a frame, skipped up to the next TRWK"),
    version = new_expert("version", "Version is not " .. VERSION),
    oversized = new_expert("oversized", "Payload length over 2 MiB"),
    cut = new_expert("cut", "The capture ends inside this frame"),
    unknown = new_expert("unknown_type", "Message type this dissector does not know",
                         expert.severity.WARN, expert.group.UNDECODED),
    too_long = new_expert("too_long", "Payload longer than any of its type"),
    short = new_expert("short", "The payload ends inside a field"),
    long_string = new_expert("long_string", "String longer than its field allows"),
    nul = new_expert("nul", "String holds a 0 byte"),
    fixed = new_expert("fixed", "Fixed byte without its value"),
    flag_bits = new_expert("flag_bits", "Flag bits no builder sets"),
    data_length = new_expert("data_length", "Length is not that of the bytes that follow"),
    left_over = new_expert("left_over", "Bytes left over after the last field"),
}
local expert_list = {}
for _, e in pairs(ef) do expert_list[#expert_list + 1] = e end
twl.experts = expert_list

twl.prefs.port = Pref.uint("TCP port", 2002, "The TCP port of the relay's client connections")

-- ---- Payloads -------------------------------------------------------------

local shown = true -- whether the tree is displayed: titles are built only then
local band = bit.band
-- The tree methods, taken once: a method call looks its name up in C.
local function method(class, name)
    return class and class[name] or function(object, ...) return object[name](object, ...) end
end
local add, set_text, set_len = method(TreeItem, "add"), method(TreeItem, "set_text"), method(TreeItem, "set_len")
local add_expert, set_generated = method(TreeItem, "add_proto_expert_info"), method(TreeItem, "set_generated")

-- The big-endian number of n (1, 2 or 4) bytes of the Lua string data at
-- pos (0-based).
local byte = string.byte
local function be(data, pos, n)
    if n == 1 then return byte(data, pos + 1) end
    local a, b, c, d = byte(data, pos + 1, pos + n)
    if n == 2 then return a * 256 + b end
    return ((a * 256 + b) * 256 + c) * 256 + d
end

-- Shows the fields of a layout from payload byte `pos` on (the payload ends
-- at `stop`; `data` holds the bytes of tvb), noting in `vals` what its key
-- fields hold. Returns the position after them, or nil and the position
-- from which the payload is left undecoded, after flagging the first field
-- no builder could have written. The checks and their order are those of
-- the client's reader, client/twl_client.c.
local function walk(tvb, data, tree, layout, pos, stop, vals)
    local fields = layout.fields
    local flags, count, k = 0, 0, 1
    while k <= #fields do
        local f = fields[k]
        local kind, name, arg, max, field = f[1], f[2], f[3], f[4], f.field
        local width = WIDTH[kind]
        if kind == "if" then
            if band(flags, arg) == 0 then k = k + max end
        elseif kind == "entries" or kind == "record" then
            local record = records[arg]
            local plain = kind == "record" and name or nil
            for index = 0, (plain and 0 or count - 1) do
                local sub = add(tree, field, tvb(pos, 0))
                local sv, start, fail = {}, pos
                pos, fail = walk(tvb, data, sub, record, pos, stop, sv)
                if shown then
                    local label = plain or name .. " " .. index
                    if not pos then
                        set_text(sub, label .. " (malformed)")
                    else
                        set_len(sub, pos - start)
                        set_text(sub, label .. ": " .. summary(record.keys, sv, true))
                    end
                end
                if not pos then return nil, fail end
                if plain then vals[name] = summary(record.keys, sv) end
            end
            if not plain then vals[name] = count end
        elseif kind == "bytes" then
            add(tree, field, tvb(pos, stop - pos))
            pos = stop
        elseif stop - pos < width then
            add_expert(add(tree, hf.field, tvb(pos, stop - pos), name), ef.short)
            return nil, pos
        elseif kind == "string" then
            local n = be(data, pos, 2)
            if n > max or n > stop - pos - 2 then
                local item = add(tree, field, tvb(pos, 2), "")
                add(item, hf.string_len, tvb(pos, 2))
                if n > max then set_generated(add(item, hf.string_max, max)) end
                add_expert(item, n > max and ef.long_string or ef.short)
                return nil, pos + 2
            end
            local bytes = data:sub(pos + 3, pos + 2 + n)
            if bytes:find("\0", 1, true) then
                add(tree, field, tvb(pos, 2 + n), (decode(bytes):gsub("\0", "\\0"))):add_proto_expert_info(ef.nul)
                return nil, pos + 2 + n
            end
            add(tree, field, tvb(pos, 2 + n), decode(bytes))
            if f.key then vals[name] = bytes end
            pos = pos + 2 + n
        else
            local item = add(tree, field, tvb(pos, width))
            local value = be(data, pos, width)
            pos = pos + width
            if f.bits then
                for _, b in ipairs(f.bits) do add(item, b, tvb(pos - 1, 1)) end
            end
            if kind == "fixed" and value ~= arg then
                add_expert(item, ef.fixed)
                return nil, pos
            elseif kind == "flags" and band(value, 0xFF - arg) ~= 0 then
                add_expert(item, ef.flag_bits)
                return nil, pos
            elseif kind == "length" and value ~= stop - pos then
                set_generated(add(item, hf.following, stop - pos))
                add_expert(item, ef.data_length)
                return nil, pos
            end
            if kind == "flags" then flags = value end
            if kind == "count8" or kind == "count16" then count = value end
            if f.key then vals[name] = value end
        end
        k = k + 1
    end
    return pos
end

-- ---- Frames ---------------------------------------------------------------

-- Counted in the first pass, for `tshark -z twl,types` and the Statistics menu.
local stats
local function new_stats()
    return {types = {}, malformed = 0, cut = 0, skipped = 0, runs = 0, client = 0}
end

-- What a layout without key fields notes: nothing.
local NO_KEYS = setmetatable({}, {__newindex = function() error("twl.lua: a value noted for a layout without keys") end})

-- Shows the frame at `pos`, whose payload holds `length` bytes of which
-- `avail` are in the buffer (fewer only when the capture cuts it off).
-- Returns the frame's Info text and its item.
local function show_frame(tvb, data, tree, pos, length, avail, count)
    local code = data:byte(pos + 6)
    local m = messages[code]
    local name = m and m.name or string.format("unknown type 0x%02X", code)
    local item = add(tree, twl, tvb(pos, HEADER + avail))
    add(item, hf.magic, tvb(pos, 4))
    add(item, hf.version, tvb(pos + 4, 1))
    add(item, hf.type, tvb(pos + 5, 1))
    add(item, hf.length, tvb(pos + 6, 4))
    local from, stop, vals, bad = pos + HEADER, pos + HEADER + avail, m and m.keys[1] and {} or NO_KEYS, false
    if avail < length then
        -- cut off: the caller says so
    elseif not m then
        add_expert(item, ef.unknown)
    elseif length > m.max then
        set_generated(add(item, hf.longest, m.max))
        add_expert(item, ef.too_long)
        bad = true
    else
        local done, fail = walk(tvb, data, item, m, from, stop, vals)
        if done and done < stop then
            set_generated(add(item, hf.left_over, stop - done))
            add_expert(item, ef.left_over)
            fail = done
        end
        bad = fail ~= nil
        from = done and stop or fail
    end
    if from < stop then add(item, hf.undecoded, tvb(from, stop - from)) end
    if m and m.keys[1] then
        local text = summary(m.keys, vals)
        if text ~= "" then name = name .. " " .. text end
    end
    if bad then name = name .. " [malformed]" end
    if count then
        local t = stats.types[code] or {frames = 0, bytes = 0}
        stats.types[code] = t
        t.frames, t.bytes = t.frames + 1, t.bytes + length
        if bad then stats.malformed = stats.malformed + 1 end
    end
    if shown then set_text(item, "TWL " .. name) end
    return name, item
end

-- Shows a header that cannot open a frame: its first byte is skipped.
local function show_bad_header(tvb, tree, pos, avail, problem)
    local item = add(tree, twl, tvb(pos, math.min(avail, HEADER)))
    item:set_text("TWL, bad frame header")
    item:add(hf.magic, tvb(pos, 4))
    local bad = item:add(hf.version, tvb(pos + 4, 1))
    if avail >= HEADER then
        item:add(hf.type, tvb(pos + 5, 1))
        local length = item:add(hf.length, tvb(pos + 6, 4))
        if problem == ef.oversized then bad = length end
    end
    bad:add_proto_expert_info(problem)
end

-- Shows the first bytes of a frame that the capture cuts off, with the
-- number of its bytes that the capture holds.
local function show_cut(tvb, tree, held)
    local item, name
    if tvb:len() < HEADER then
        item = tree:add(twl, tvb()):set_text("TWL, cut frame header")
    else
        name, item = show_frame(tvb, tvb:raw(), tree, 0, tvb(6, 4):uint(), tvb:len() - HEADER)
    end
    if held then item:add(hf.captured, held):set_generated() end
    item:add_proto_expert_info(ef.cut)
    return (name or "frame header") .. " [cut off]"
end

-- ---- Streams --------------------------------------------------------------

-- Reassembly: a frame that the data at hand does not complete is asked for
-- from TCP with desegment_offset and desegment_len. TCP reassembles each
-- direction in order, so a direction waits for at most one frame at a time:
-- `waiting` notes it in the first pass (the packet where it starts, its
-- bytes so far, the direction's last packet), and the next call for the
-- direction shows that it came. A frame still waited for at the end of the
-- first pass was cut off by the end of the capture. TCP hands its segments
-- to no dissector in the second pass, so a post-dissector shows it then, in
-- the direction's last packet.
local waiting = {}
-- Conversations off the TWL port that the heuristic took (the relay's side
-- and the first packet claimed), and by conversation and side, whether the
-- side's first data has been looked at.
local taken, looked = {}, {}
function twl.init()
    waiting, taken, looked, stats = {}, {}, {}, new_stats()
end
stats = new_stats()

-- TCP's fields are there only where a tree is built (not in the first pass
-- of `tshark -2`), so they are asked for with care.
local f_seq, f_len = Field.new("tcp.seq"), Field.new("tcp.len")
local function segment_end()
    local ok, seq, n = pcall(function() return f_seq(), f_len() end)
    return ok and seq and n and seq.value + n.value or nil
end

-- Adds to the Info column; the packet's first TWL text replaces TCP's.
local function note(pinfo, text)
    if tostring(pinfo.cols.protocol) == "TWL" then
        pinfo.cols.info:append(" | " .. text)
    else
        pinfo.cols.protocol, pinfo.cols.info = "TWL", text
    end
end

local function side(pinfo)
    return tostring(pinfo.src) .. ":" .. pinfo.src_port
end
local function direction(pinfo)
    return side(pinfo) .. ">" .. tostring(pinfo.dst) .. ":" .. pinfo.dst_port
end
-- A TCP conversation, the same in both directions.
local function conversation(pinfo)
    local a, b = side(pinfo), tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    return a < b and a .. " " .. b or b .. " " .. a
end

-- Where the next frame may start: the next "TRWK" at or after pos (0-based),
-- or the start of a prefix of it that ends the data, or the end.
local function next_magic(data, pos)
    local at = data:find(MAGIC, pos + 1, true)
    if at then return at - 1 end
    for n = 3, 1, -1 do
        if #data - n >= pos and data:sub(-n) == MAGIC:sub(1, n) then return #data - n end
    end
    return #data
end

-- Whether the packet's data goes from the relay to its client: on the TWL
-- port by the port; elsewhere by the side the heuristic found. nil when the
-- packet belongs to no TWL conversation, or comes before the heuristic took it.
local function from_relay(pinfo)
    local port = twl.prefs.port
    if port ~= 0 and (pinfo.src_port == port or pinfo.dst_port == port) then return pinfo.src_port == port end
    local t = taken[conversation(pinfo)]
    if not t or pinfo.number < t.from then return nil end
    return side(pinfo) == t.relay
end

-- TWL defines no client-to-relay frames: the client's bytes are shown as they are.
local function show_client(tvb, pinfo, tree)
    local len = tvb:len()
    local item = tree:add(twl, tvb())
    item:set_text("TWL client data, " .. count_of(len, "byte"))
    item:add(hf.client, tvb())
    if not pinfo.visited then stats.client = stats.client + len end
    note(pinfo, "Client data, " .. count_of(len, "byte"))
    return len
end

function twl.dissector(tvb, pinfo, tree)
    local relay = from_relay(pinfo)
    if relay == nil then return 0 end
    if not relay then return show_client(tvb, pinfo, tree) end
    local len = tvb:len()
    local data = tvb:raw(0, len)
    local dir = direction(pinfo)
    local first = not pinfo.visited
    local names = {}
    local pos = 0
    if first then waiting[dir] = nil end
    shown = tree.visible
    while pos < len do
        local start = next_magic(data, pos)
        if start > pos then
            local n = start - pos
            local item = tree:add(twl, tvb(pos, n))
            item:set_text("TWL, " .. count_of(n, "byte") .. " skipped")
            item:add(hf.skipped, tvb(pos, n)):add_proto_expert_info(ef.skipped)
            item:add(hf.skipped_len, n):set_generated()
            names[#names + 1] = count_of(n, "byte") .. " skipped"
            if first then stats.skipped, stats.runs = stats.skipped + n, stats.runs + 1 end
            pos = start
        end
        if pos == len then break end
        local avail = len - pos
        local length = avail >= HEADER and be(data, pos + 6, 4) or 0
        if avail >= 5 and data:byte(pos + 5) ~= VERSION then
            show_bad_header(tvb, tree, pos, avail, ef.version)
            names[#names + 1] = "bad frame header"
            pos = pos + 1
        elseif length > max_payload then
            show_bad_header(tvb, tree, pos, avail, ef.oversized)
            names[#names + 1] = "bad frame header"
            pos = pos + 1
        elseif avail < HEADER + length and pinfo.can_desegment > 0 then
            if first then waiting[dir] = {number = pinfo.number, last = pinfo.number, bytes = data:sub(pos + 1)} end
            pinfo.desegment_offset = pos
            pinfo.desegment_len = avail < HEADER and DESEGMENT_ONE_MORE_SEGMENT or HEADER + length - avail
            break
        elseif avail < HEADER + length then
            names[#names + 1] = show_cut(tvb(pos):tvb(), tree, avail)
            break
        else
            names[#names + 1] = show_frame(tvb, data, tree, pos, length, length, first)
            pos = pos + HEADER + length
        end
    end
    if #names > 0 then note(pinfo, table.concat(names, " | ")) end
    return len
end

-- Follows each direction that waits for a frame to the end of the first
-- pass, and shows the frames it never got in the second, in the last packet
-- of the direction: where the capture ends. The bytes the capture holds of
-- a frame are counted from TCP's sequence numbers, in the pass that has them.
local twl_cut = Proto("twl_cut", "TWL frame cut off by the end of the capture")
function twl_cut.dissector(tvb, pinfo, tree)
    if next(waiting) == nil then return end
    local w = waiting[direction(pinfo)]
    if not w or pinfo.number < w.number then return end
    if not pinfo.visited then w.last = pinfo.number end
    local stop = segment_end()
    if stop and pinfo.number == w.number then
        w.start, w.stop = stop - #w.bytes, stop
    elseif stop and w.stop then
        w.stop = math.max(w.stop, stop)
    end
    if pinfo.visited and pinfo.number == w.last then
        shown = tree.visible
        local cut = ByteArray.new(w.bytes, true):tvb("Cut TWL frame")
        note(pinfo, show_cut(cut, tree, w.stop and w.stop - w.start))
    end
end
register_postdissector(twl_cut)

-- A TCP conversation off the TWL port is TWL when the first data one side
-- sends opens with a frame header ("TRWK" 01); that side is the relay. The
-- header may come in pieces: a first segment shorter than that is held
-- back until the next one completes it. Later data decides nothing, so a
-- stream of another protocol that happens to carry the magic is left alone.
-- TCP calls a heuristic without leave to reassemble; it takes the request
-- all the same when the heuristic asks for it.
local OPENING = MAGIC .. "\1"
local function heuristic(tvb, pinfo, tree)
    local conv = conversation(pinfo)
    if taken[conv] then return false end
    local key = conv .. " " .. side(pinfo)
    if looked[key] == "done" then return false end
    local len = tvb:len()
    local head = tvb:raw(0, math.min(len, #OPENING))
    if head ~= OPENING:sub(1, #head) then
        looked[key] = "done"
        return false
    elseif #head < #OPENING then
        looked[key] = "opening"
        pinfo.can_desegment = 2
        pinfo.desegment_offset, pinfo.desegment_len = 0, DESEGMENT_ONE_MORE_SEGMENT
        return true
    end
    looked[key] = "done"
    taken[conv] = {relay = side(pinfo), from = pinfo.number}
    pinfo.conversation = twl
    pinfo.can_desegment = 2
    twl.dissector(tvb, pinfo, tree)
    return true
end

local tcp_port = 0
local function use_port()
    local ports = DissectorTable.get("tcp.port")
    if tcp_port ~= 0 then ports:remove(tcp_port, twl) end
    tcp_port = twl.prefs.port
    if tcp_port ~= 0 then ports:add(tcp_port, twl) end
end
twl.prefs_changed = use_port
use_port()
twl:register_heuristic("tcp", heuristic)

-- ---- Statistics -----------------------------------------------------------

-- `tshark -z twl,types` prints the counts once the capture has been read.
register_stat_cmd_arg("twl,types", function()
    local tap = Listener.new("frame", "twl")
    function tap.draw()
        stats.cut = 0
        for _ in pairs(waiting) do stats.cut = stats.cut + 1 end
        io.write(report(stats))
    end
end)
if gui_enabled() then
    register_menu("TWL/Message types", function()
        TextWindow.new("TWL message types"):set(report(stats))
    end, MENU_STAT_GENERIC)
end
