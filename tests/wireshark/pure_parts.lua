-- The parts of the dissector that need no Wireshark, run by a plain Lua
-- (5.4 in CTest): the file must load, and its text helpers must give what
-- Wireshark shows.    lua5.4 pure_parts.lua twl.lua
local twl = assert(loadfile(arg[1]))()
local failed = 0
local function check(got, want)
    if got ~= want then
        failed = failed + 1
        print(string.format("got %q, want %q", tostring(got), tostring(want)))
    end
end

-- Mac OS Roman: 0x8E e acute, 0xDB the euro sign, 0xF0 the Apple logo; the
-- style bytes open and close their spans.
check(twl.decode("caf\142 \219 \240"), "café € \u{F8FF}")
check(twl.decode("\1bold\1 \2it\2 \3x\3"), "<b>bold</b> <i>it</i> <code>x</code>")
-- Titles cut strings after 23 bytes and a mark, not before 25.
check(twl.quote(("a"):rep(24)), '"' .. ("a"):rep(24) .. '"')
check(twl.quote(("a"):rep(25)), '"' .. ("a"):rep(23) .. '..."')
check(twl.count_of(1, "byte") .. ", " .. twl.count_of(0, "guild"), "1 byte, 0 guilds")

local guild = twl.records[1]
check(twl.summary(guild.keys, {id = 9, name = "Quadra Club", value8 = 1}, true), '"Quadra Club" (id 9)')
check(twl.summary(guild.keys, {id = 9}, true), "id 9")
local message = twl.records[0]
local bo = {id = 21, id_b = 3, name = "Bo", text = "see picture", trailer_text = "x"}
check(twl.summary(message.keys, bo), 'id 21 "Bo": "see picture"')
local create = twl.messages[0x86]
check(twl.summary(create.keys, {id = 7, message = twl.summary(message.keys, bo)}), 'id 21 "Bo": "see picture"')
check(twl.summary(twl.messages[0x87].keys, {id_a = 4, id_b = 5}), "id_a 4, id_b 5")
check(twl.summary(twl.messages[0x84].keys, {id = 2, count = 1, channel = 1}), "id 2, 1 channel")
check(twl.summary(twl.messages[0x8B].keys, {id = 5, data_len = 4}), "id 5, 4 bytes")

print(failed == 0 and "the pure parts behave under " .. _VERSION or failed .. " checks failed")
os.exit(failed == 0 and 0 or 1)
