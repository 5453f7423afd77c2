-- Loaded before the dissector: takes away what Lua 5.3 and 5.4 no longer
-- have, so that a dissector still using any of it fails under Lua 5.2 too.
bit32, unpack, loadstring, setfenv, getfenv, module = nil, nil, nil, nil, nil, nil
table.getn, table.maxn, math.pow, math.ldexp, math.frexp, math.cosh, math.sinh, math.tanh, math.log10 =
    nil, nil, nil, nil, nil, nil, nil, nil, nil
string.gfind = nil
