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
-- heuristic, any TCP stream whose data opens with "TRWK" 01. Frames are put
-- back together across segments. As in the relay's reader, a header with
-- the wrong magic, another version or a payload over 2 MiB costs one byte,
-- and the bytes up to the next "TRWK" are skipped. A payload is held to what
-- the relay's builders write: the first field that breaks its layout gets an
-- expert-info error and the rest of the payload is shown undecoded.
--
-- A frame that the capture cuts off is flagged only when the file is read
-- in two passes, as Wireshark does and as `tshark -2` does: the first pass
-- notes every frame that never completes.
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

local twl = Proto("twl", "Tarnwick relay protocol")

-- ---- Fields --------------------------------------------------------------

local type_names = {}
for code, m in pairs(messages) do type_names[code] = m.name end

local hf = {
    magic = ProtoField.string("twl.magic", "Magic"),
    version = ProtoField.uint8("twl.version", "Version"),
    type = ProtoField.uint8("twl.type", "Type", base.HEX, type_names),
    length = ProtoField.uint32("twl.length", "Length"),
    skipped = ProtoField.bytes("twl.skipped", "Skipped bytes"),
    undecoded = ProtoField.bytes("twl.undecoded", "Undecoded bytes"),
}

local MAKE = {
    u8 = ProtoField.uint8, u16 = ProtoField.uint16, u32 = ProtoField.uint32,
    i16 = ProtoField.int16, fixed = ProtoField.uint8, count8 = ProtoField.uint8,
    count16 = ProtoField.uint16, length = ProtoField.uint32,
    flags = function(abbrev, name) return ProtoField.uint8(abbrev, name, base.HEX) end,
    string = ProtoField.string, bytes = ProtoField.bytes,
    entries = ProtoField.none, record = ProtoField.none,
}

-- A payload's own fields are twl.<type>.<field>, the fields of a record or
-- list entry twl.<record>.<field>, the entry itself twl.<record>. Records of
-- the same name share their fields, which must then be of the same type.
local made_by = {}
local function abbrev_of(scope, f)
    if f[1] == "entries" or f[1] == "record" then return "twl." .. records[f[3]].name end
    return "twl." .. scope .. "." .. f[2]
end
local function register(scope, fields)
    for _, f in ipairs(fields) do
        local abbrev = abbrev_of(scope, f)
        if MAKE[f[1]] and not hf[abbrev] then
            hf[abbrev] = MAKE[f[1]](abbrev, f[2])
            made_by[abbrev] = MAKE[f[1]]
        elseif MAKE[f[1]] and made_by[abbrev] ~= MAKE[f[1]] then
            error("twl.lua: " .. abbrev .. " has two types")
        end
        f.field = hf[abbrev]
    end
end
for _, r in pairs(records) do register(r.name, r.fields) end
for _, m in pairs(messages) do register(m.abbrev, m.fields) end
twl.fields = hf

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

-- ---- Payloads --------------------------------------------------------------

local shown = true -- whether the tree is displayed: entries need their labels

-- The big-endian number of n bytes of the Lua string data at pos (0-based).
local function be(data, pos, n)
    local v = 0
    for k = pos + 1, pos + n do v = v * 256 + data:byte(k) end
    return v
end

-- Shows the fields of a layout from payload byte `pos` on (the payload ends
-- at `stop`; `data` holds the bytes of tvb). Returns the position after
-- them, or nil and the position from which the payload is left undecoded,
-- after flagging the first field no builder could have written. The checks
-- and their order are those of the client's reader, client/twl_client.c.
local function walk(tvb, data, tree, fields, pos, stop)
    local flags, count, k = 0, 0, 1
    while k <= #fields do
        local f = fields[k]
        local kind, name, arg, max, field = f[1], f[2], f[3], f[4], f.field
        local width = WIDTH[kind]
        if kind == "if" then
            if bit32.band(flags, arg) == 0 then k = k + max end
        elseif kind == "entries" or kind == "record" then
            local record = records[arg]
            for index = 0, (kind == "record" and 0 or count - 1) do
                local sub = tree:add(field, tvb(pos, 0))
                if shown then sub:set_text(kind == "record" and name or name .. " " .. index) end
                local start, fail = pos
                pos, fail = walk(tvb, data, sub, record.fields, pos, stop)
                if not pos then return nil, fail end
                if shown then sub:set_len(pos - start) end
            end
        elseif kind == "bytes" then
            tree:add(field, tvb(pos, stop - pos))
            pos = stop
        elseif stop - pos < width then
            tree:add_proto_expert_info(ef.short, "The payload ends inside " .. name)
            return nil, pos
        elseif kind == "string" then
            local n = be(data, pos, 2)
            if n > max or n > stop - pos - 2 then
                tree:add(field, tvb(pos, 2), ""):add_proto_expert_info(n > max and ef.long_string or ef.short,
                    string.format("%s: %d bytes, %s", name, n,
                                  n > max and "over its maximum of " .. max or "past the end of the payload"))
                return nil, pos + 2
            end
            local bytes = data:sub(pos + 3, pos + 2 + n)
            local item = tree:add(field, tvb(pos, 2 + n), (decode(bytes):gsub("%z", "\\0")))
            pos = pos + 2 + n
            if bytes:find("\0", 1, true) then
                item:add_proto_expert_info(ef.nul, name .. " holds a 0 byte")
                return nil, pos
            end
        else
            local item = tree:add(field, tvb(pos, width))
            local value = be(data, pos, width)
            pos = pos + width
            if kind == "fixed" and value ~= arg then
                item:add_proto_expert_info(ef.fixed, string.format("%s is %d, not %d", name, value, arg))
                return nil, pos
            elseif kind == "flags" and bit32.band(value, bit32.bnot(arg)) ~= 0 then
                item:add_proto_expert_info(ef.flag_bits, string.format("%s: bits 0x%02X are set; no builder sets them",
                                                                       name, bit32.band(value, bit32.bnot(arg))))
                return nil, pos
            elseif kind == "length" and value ~= stop - pos then
                item:add_proto_expert_info(ef.data_length,
                    string.format("%s is %d, but %d bytes follow", name, value, stop - pos))
                return nil, pos
            end
            if kind == "flags" then flags = value end
            if kind == "count8" or kind == "count16" then count = value end
        end
        k = k + 1
    end
    return pos
end

-- Shows the frame at `pos`, whose payload holds `length` bytes of which
-- `avail` are in the buffer (fewer only when the capture cuts it off).
-- Returns the message name, for the Info column, and the frame's item.
local function show_frame(tvb, data, tree, pos, length, avail)
    local code = tvb(pos + 5, 1):uint()
    local m = messages[code]
    local name = m and m.name or string.format("unknown type 0x%02X", code)
    local item = tree:add(twl, tvb(pos, HEADER + avail))
    item:set_text(string.format("TWL %s, payload %d byte%s", name, length, length == 1 and "" or "s"))
    item:add(hf.magic, tvb(pos, 4))
    item:add(hf.version, tvb(pos + 4, 1))
    item:add(hf.type, tvb(pos + 5, 1))
    item:add(hf.length, tvb(pos + 6, 4))
    local from, stop = pos + HEADER, pos + HEADER + avail
    if avail < length then
        -- cut off: the caller says so
    elseif not m then
        item:add_proto_expert_info(ef.unknown, string.format("Unknown message type 0x%02X", code))
    elseif length > m.max then
        item:add_proto_expert_info(ef.too_long, string.format("%s payloads hold at most %d bytes", m.name, m.max))
    else
        local done, fail = walk(tvb, data, item, m.fields, from, stop)
        if done and done < stop then
            item:add_proto_expert_info(ef.left_over, string.format("%d byte%s left over", stop - done, stop - done == 1 and "" or "s"))
            fail = done
        end
        from = done and stop or fail
    end
    if from < stop then item:add(hf.undecoded, tvb(from, stop - from)) end
    return name, item
end

-- Shows a header that cannot open a frame: its first byte is skipped.
local function show_bad_header(tvb, tree, pos, avail, problem, text)
    local item = tree:add(twl, tvb(pos, math.min(avail, HEADER)))
    item:set_text("TWL, bad frame header")
    item:add(hf.magic, tvb(pos, 4))
    local bad = item:add(hf.version, tvb(pos + 4, 1))
    if avail >= HEADER then
        item:add(hf.type, tvb(pos + 5, 1))
        local length = item:add(hf.length, tvb(pos + 6, 4))
        if problem == ef.oversized then bad = length end
    end
    bad:add_proto_expert_info(problem, text)
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
    item:add_proto_expert_info(ef.cut, string.format("The capture ends after %d bytes of this frame", held))
    return name or "frame header"
end

-- ---- Streams ---------------------------------------------------------------

-- Reassembly: a frame that the data at hand does not complete is asked for
-- from TCP with desegment_offset and desegment_len. TCP reassembles each
-- direction in order, so a direction waits for at most one frame at a time:
-- `waiting` notes it in the first pass (where it starts, its bytes so far,
-- the bytes of the direction's segments since), and the next call for the
-- direction shows that it came. A frame still waited for at the end of the
-- first pass was cut off by the end of the capture. TCP hands its segments
-- to no dissector in the second pass, so a post-dissector shows it then, in
-- the packet where it starts.
local waiting = {}
function twl.init()
    waiting = {}
end

-- Adds to the Info column; the packet's first TWL text replaces TCP's.
local function note(pinfo, text)
    if tostring(pinfo.cols.protocol) == "TWL" then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.protocol, pinfo.cols.info = "TWL", text
    end
end

local function direction(pinfo)
    return tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst) .. ":" .. pinfo.dst_port
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

function twl.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    local data = tvb:raw(0, len)
    local dir = direction(pinfo)
    local names = {}
    local pos = 0
    if not pinfo.visited then waiting[dir] = nil end
    shown = tree.visible
    while pos < len do
        local start = next_magic(data, pos)
        if start > pos then
            local item = tree:add(twl, tvb(pos, start - pos))
            item:set_text(string.format("TWL, %d bytes skipped", start - pos))
            item:add(hf.skipped, tvb(pos, start - pos)):add_proto_expert_info(ef.skipped,
                string.format("%d bytes do not open a frame", start - pos))
            names[#names + 1] = string.format("%d bytes skipped", start - pos)
            pos = start
        end
        if pos == len then break end
        local avail = len - pos
        local length = avail >= HEADER and tvb(pos + 6, 4):uint() or 0
        if avail >= 5 and data:byte(pos + 5) ~= VERSION then
            show_bad_header(tvb, tree, pos, avail, ef.version, "Version " .. data:byte(pos + 5) .. ", not " .. VERSION)
            pos = pos + 1
        elseif length > max_payload then
            show_bad_header(tvb, tree, pos, avail, ef.oversized, "Payload length " .. length .. ", over 2 MiB")
            pos = pos + 1
        elseif avail < HEADER + length and pinfo.can_desegment > 0 then
            if not pinfo.visited then waiting[dir] = {number = pinfo.number, bytes = data:sub(pos + 1), more = 0} end
            pinfo.desegment_offset = pos
            pinfo.desegment_len = avail < HEADER and DESEGMENT_ONE_MORE_SEGMENT or HEADER + length - avail
            break
        elseif avail < HEADER + length then
            names[#names + 1] = show_cut(tvb(pos):tvb(), tree, avail)
            break
        else
            names[#names + 1] = show_frame(tvb, data, tree, pos, length, length)
            pos = pos + HEADER + length
        end
    end
    if #names > 0 then note(pinfo, table.concat(names, ", ")) end
    return len
end

local twl_cut = Proto("twl_cut", "TWL frame cut off by the end of the capture")
local tcp_len = Field.new("tcp.len")
function twl_cut.dissector(tvb, pinfo, tree)
    local w = waiting[direction(pinfo)]
    if not w then return end
    if not pinfo.visited and pinfo.number > w.number then
        local n = tcp_len()
        w.more = w.more + (n and n.value or 0)
    elseif pinfo.visited and pinfo.number == w.number then
        shown = tree.visible
        local cut = ByteArray.new(w.bytes, true):tvb("Cut TWL frame")
        note(pinfo, show_cut(cut, tree, #w.bytes + w.more) .. " (cut off)")
    end
end
register_postdissector(twl_cut)

-- A TCP stream whose data opens with a frame header is TWL, whatever its port.
-- TCP calls a heuristic without leave to reassemble; it takes the request
-- all the same when the heuristic asks for it.
local function heuristic(tvb, pinfo, tree)
    if tvb:len() < 5 or tvb:raw(0, 5) ~= MAGIC .. "\1" then return false end
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
