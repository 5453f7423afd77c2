#!/usr/bin/env python3
"""Times tshark with and without the TWL dissector on two generated captures.

    python3 scripts/twl_wireshark_speed.py [ROUNDS] [WORK_DIR]

Writes, in WORK_DIR (default bench-results/wireshark):
  small.pcap  100,000 PONG and STATUS frames back to back, one TCP stream from
              relay port 2002, in segments of 1,460 bytes;
  guilds.pcap one GUILD_LIST of 2 MiB (55,188 guilds with 31-byte names) in
              segments of 1,460 bytes.
Then runs `tshark -V -r CAPTURE` ROUNDS times (default 5) per capture, the run
without the dissector and the run with it interleaved, so that both meet the
same load on the machine, each under /usr/bin/time -v. Prints the wall time,
the CPU time (user and system, which a busy machine inflates less) and the
peak resident memory of every run, the median of each, their ratio and the
spread of the per-round ratios. TWL_LUA names another copy of the dissector to
time (an earlier version, say) in place of tools/wireshark/twl.lua.
"""
import os, statistics, struct, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
LUA = os.environ.get('TWL_LUA') or os.path.join(HERE, '..', 'tools', 'wireshark', 'twl.lua')


def frame(kind, payload):
    return b'TRWK\x01' + bytes([kind]) + struct.pack('>I', len(payload)) + payload


def string(text):
    return struct.pack('>H', len(text)) + text


def write_pcap(path, stream, segment=1460):
    """One TCP stream, 10.0.0.1:2002 to 10.0.0.2:50000, in segments."""
    out = [struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    for n, at in enumerate(range(0, len(stream), segment)):
        data = stream[at:at + segment]
        tcp = struct.pack('>HHIIBBHHH', 2002, 50000, 1 + at, 1, 0x50, 0x18, 65535, 0, 0)
        ip = struct.pack('>BBHHHBBH4s4s', 0x45, 0, 40 + len(data), 0, 0x4000, 64, 6, 0,
                         bytes([10, 0, 0, 1]), bytes([10, 0, 0, 2]))
        packet = b'\0\0\0\0\0\2\0\0\0\0\0\1\x08\x00' + ip + tcp + data
        out.append(struct.pack('<IIII', n // 1000, n % 1000 * 1000, len(packet), len(packet)) + packet)
    with open(path, 'wb') as f:
        f.write(b''.join(out))


def small_frames():
    pong = frame(0x92, b'')
    status = frame(0x8C, b'\x01\x02' + string(b'relay ok'))
    return b''.join(pong if k % 2 == 0 else status for k in range(100000))


def guild_list():
    count = 55188
    entries = b''.join(struct.pack('>H', k + 1) + string(b'Guild %025d' % k) + b'\x01' + struct.pack('>H', k)
                       for k in range(count))
    return frame(0x83, struct.pack('>H', count) + entries)


def run(capture, with_lua, work):
    args = ['/usr/bin/time', '-v', 'tshark', '-V', '-r', capture]
    if with_lua:
        args[3:3] = ['-X', 'lua_script:' + LUA]
    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=work)  # no personal plugins or preferences
    p = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    fields = dict(line.strip().split(': ', 1) for line in p.stderr.splitlines() if ': ' in line)
    wall = fields['Elapsed (wall clock) time (h:mm:ss or m:ss)'].split(':')
    cpu = float(fields['User time (seconds)']) + float(fields['System time (seconds)'])
    return float(wall[-1]) + 60 * float(wall[-2]), cpu, int(fields['Maximum resident set size (kbytes)']) / 1024


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else 'bench-results/wireshark')
    os.makedirs(work, exist_ok=True)
    captures = {'small': small_frames(), 'guilds': guild_list()}
    for name, stream in captures.items():
        write_pcap(os.path.join(work, name + '.pcap'), stream)
    with open('/proc/loadavg') as f:
        print('load average before:', f.read().split()[:3])
    for name in captures:
        capture = os.path.join(work, name + '.pcap')
        runs = {False: [], True: []}
        for r in range(rounds):
            for with_lua in (False, True):
                runs[with_lua].append(run(capture, with_lua, work))
                t, c, m = runs[with_lua][-1]
                print(f'{name} round {r + 1} {"with" if with_lua else "without"} dissector: {t:.2f} s wall, '
                      f'{c:.2f} s CPU, {m:.0f} MB', flush=True)
        for k, what in ((0, 'wall time'), (1, 'CPU time'), (2, 'peak memory')):
            without = statistics.median(x[k] for x in runs[False])
            with_ = statistics.median(x[k] for x in runs[True])
            spread = [round(a[k] / b[k], 2) for a, b in zip(runs[True], runs[False])]
            print(f'{name} {what}: median {with_:.2f} against {without:.2f}, ratio {with_ / without:.2f}'
                  f' (per round {min(spread)} to {max(spread)})')
    with open('/proc/loadavg') as f:
        print('load average after:', f.read().split()[:3])


main()
