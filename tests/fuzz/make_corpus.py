#!/usr/bin/env python3
"""Writes the seed corpora of form_fuzz, path_fuzz, expr_fuzz, text_fuzz and
stdlib_fuzz into tests/fuzz/corpus/<target>/ (seed-*.bin). Inputs the fuzzer found and that
were fixed are kept there too, under other names; this script leaves them
alone. Run it again after changing a target's input layout."""
import os
import pathlib
import struct

FUZZ = pathlib.Path(__file__).resolve().parent
ROOT = FUZZ.parent.parent


def write(target, seeds):
    directory = FUZZ / "corpus" / target
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("seed-*.bin"):
        old.unlink()
    for i, data in enumerate(seeds):
        (directory / f"seed-{i:03d}.bin").write_bytes(data)


# --- form_fuzz ---------------------------------------------------------------
# options: bit 0 multipart, bits 1-2 limit (0, 1, 2, 5), bits 3-4 program
# (none, both, validate only, bad process), bit 5 temporary directory,
# bits 6-7 largest file (0, -1, 1, 7).
MULTIPART = 1
LIMIT = {0: 0, 1: 1 << 1, 2: 2 << 1, 5: 3 << 1}
NONE, BOTH, VALIDATE_ONLY, BAD_PROCESS = (p << 3 for p in range(4))
DIRECTORY = 0x20
MAX = {"0": 0, "-1": 1 << 6, "1": 2 << 6, "7": 3 << 6}


def form(options, sizes, body, content_type=None):
    data = bytes([options, len(sizes)]) + bytes(sizes)
    if content_type is not None:
        data += content_type.encode() + b"\n"
    return data + (body.encode("latin-1") if isinstance(body, str) else body)


def field(name, value):
    return f'Content-Disposition: form-data; name="{name}"\r\n\r\n{value}'


def upload(name, file, data, kind="text/plain"):
    return (f'Content-Disposition: form-data; name="{name}"; filename="{file}"\r\n'
            f"Content-Type: {kind}\r\n\r\n{data}")


def multipart(parts, end="--\r\n", boundary="XyZ"):
    return "".join(f"--{boundary}\r\n{p}\r\n" for p in parts) + f"--{boundary}{end}"


TYPE = "multipart/form-data; boundary=XyZ"
deep_index = "d" + "[1]" * 300
deep_member = "m" + ":k" * 400
deep_mixed = "x" + "[2]:y" * 150

url_encoded = [
    form(0, [], ""),
    form(0, [], "a=1&b=x+y"),
    form(0, [1], "a=1&a=2&A=3"),
    form(0, [2, 3], "a+b=%41%42&%61=%2b%2B&c=%7e"),
    form(0, [1], "x=%zz&y=%%41&z=%4"),
    form(0, [3, 0], "x&y=&=v&&a=b=c&"),
    form(0, [5], "a[1][2]=x&a[1][3]=y&a[2]=z&a[1][2]=again"),
    form(0, [4, 1], "a:b:c=1&a:b:d=2&a:e=3&A:B:C=4"),
    form(0, [2], "a[1]:b[2]:c=v&a[1]:b[2]:c=w&s:k=v&s:j=w"),
    form(0, [1], "a[x]=1&b[ 2 ]=2&c[2]x=3&d[99999999999]=4&e[=5&f]=6&g[-1]=7&h[]=8"),
    form(0, [7], f"{deep_index}=deep&{deep_index}=again"),
    form(0, [3, 1], f"{deep_member}=deep"),
    form(0, [11], f"{deep_mixed}=deep&{deep_mixed[:200]}=half"),
    form(0, [9], "%61%5b%31%5d%5b%32%5d=escaped+selectors&a%3Ab=c"),
    form(LIMIT[1], [2], "a=1&b=2"),
    form(LIMIT[2], [1], "a&b&c"),
    form(LIMIT[5], [3], "&".join(f"v{i}={i}" for i in range(8))),
    form(LIMIT[5], [6], "&".join(f"a[{i}]={i}" for i in range(1, 8))),
    form(0, [0, 2, 0, 1], "a=%41%4&b=%"),
    form(0, [], "a=1&b=2&c=3;d=4&e=5%26f=6"),
]

multipart_forms = [
    form(MULTIPART, [], multipart([field("a", "1"), field("A", "2"), field("c", "")]), TYPE),
    form(MULTIPART, [1], multipart([field("b", "x\r\n--XyY\r\n--Xy\r\r\n-"), field("d", "x\r")]),
         TYPE),
    form(MULTIPART, [3, 5], multipart([field("e", "v")], "--trailing\r\n--XyZ junk"), TYPE),
    form(MULTIPART, [2], multipart([field("a", "1"), field("b", "2")], ""), TYPE),
    form(MULTIPART, [4], "--XyZ\r\n" + field("a", "partial"), TYPE),
    form(MULTIPART, [7, 1],
         multipart(['Content-Disposition: form-data; name=abc\r\n\r\n1',
                    'Content-Disposition: form-data;name=""; x=y\r\n\r\n2',
                    'Content-Disposition: form-data; name=x\r\n\r\n3',
                    field("s:k", "4"), field("t[2]", "5")]), TYPE),
    form(MULTIPART, [6],
         multipart([field("a[1][2]", "x"), field("a[1][2]", "y"), field("a:b:c", "z"),
                    field("a[1]:b[2]:c", "w"), field("q[x]", "bad")]), TYPE),
    form(MULTIPART, [13], multipart([field(deep_index, "deep"), field(deep_member, "deep")]), TYPE),
    form(MULTIPART, [17], multipart([field(deep_mixed, "deep")]), TYPE),
    form(MULTIPART | LIMIT[1], [2], multipart([field("a", "1"), field("b", "2")]), TYPE),
    form(MULTIPART | LIMIT[2], [5], multipart([field("a", "1"), field("b", "2")]), TYPE),
    form(MULTIPART | LIMIT[5], [9], multipart([field(f"f[{i}]", str(i)) for i in range(1, 8)]),
         TYPE),
    # No boundary parameter: the first line is the separator.
    form(MULTIPART, [1], "--abc\r\n" + field("a", "1") + "\r\n--abc--", "multipart/form-data"),
    form(MULTIPART, [3], "sep\r\n" + field("a", "1") + "\r\nsep--",
         "multipart/form-data; charset=utf-8"),
    form(MULTIPART, [2], multipart([field("a", "1")], boundary='a"b;c'),
         'multipart/form-data; charset=x;\t boundary="a\\"b;c" ; x'),
    form(MULTIPART, [1], multipart([field("a", "1")], boundary=""), "multipart/form-data; boundary="),
    form(MULTIPART, [], "x", "multipart/form-data; boundary"),
    form(MULTIPART, [4], "", TYPE),
    # Malformed bodies.
    form(MULTIPART, [2], "preamble\r\n" + multipart([field("a", "1")]), TYPE),
    form(MULTIPART, [1], "--XyZZ\r\n" + field("a", "1"), TYPE),
    form(MULTIPART, [1], "--XyZ\rx", TYPE),
    form(MULTIPART, [1], "--XyZ\r\nContent-Type: t\r\n\rx", TYPE),
    form(MULTIPART, [1], "--XyZ\r\n: x\r\n", TYPE),
    form(MULTIPART, [3], multipart(["Content-Transfer-Encoding: binary\r\n" + field("a", "1")]),
         TYPE),
    form(MULTIPART, [2], multipart([field("a", "1")], "x"), TYPE),
    form(MULTIPART, [2], multipart([field("a", "1")], "-x"), TYPE),
    form(MULTIPART, [1], "s" * 300 + "\r\n" + field("a", "1") + "\r\n" + "s" * 300 + "--",
         "multipart/form-data"),
    form(MULTIPART, [8], "--XyZ\r\nContent-Type: " + "t" * 600 + "\r\n" + field("a", "1"), TYPE),
    # Uploads, heard of by the program or not.
    form(MULTIPART | BOTH | DIRECTORY, [3],
         multipart([upload("up", "a.txt", "bin\0\r\n--XyY\r\r\n"), field("b", "2")]), TYPE),
    form(MULTIPART | BOTH | DIRECTORY | MAX["7"], [1],
         multipart([upload("up", "a.txt", "x" * 20), upload("up", "b", "1234567", "image/ png")]),
         TYPE),
    form(MULTIPART | BOTH | DIRECTORY | MAX["1"], [2, 1],
         multipart([upload("f[1][2]", "a.txt", "12"), upload("f:g", "b.txt", "")]), TYPE),
    form(MULTIPART | BOTH | DIRECTORY | MAX["-1"], [4],
         multipart([field("a", "1"), upload("up", "a.txt", "data"), field("b", "2")]), TYPE),
    form(MULTIPART | VALIDATE_ONLY | DIRECTORY, [5], multipart([upload("up", "a.txt", "data")]),
         TYPE),
    form(MULTIPART | BAD_PROCESS | DIRECTORY, [3], multipart([upload("up", "a.txt", "data")]),
         TYPE),
    form(MULTIPART | BOTH, [2], multipart([upload("up", "a.txt", "data")]), TYPE),
    form(MULTIPART | BOTH | DIRECTORY, [6], "--XyZ\r\n" + upload("up", "a.txt", "half"), TYPE),
    form(MULTIPART | BOTH | DIRECTORY | LIMIT[1], [1],
         multipart([upload("up", "a.txt", "1"), field("a", "1"), field("b", "2")]), TYPE),
    form(MULTIPART | NONE | DIRECTORY, [3], multipart([upload("up", "", "data")]), TYPE),
]

write("form", url_encoded + multipart_forms)

# --- path_fuzz ---------------------------------------------------------------
# The bytes are both a data-file name and a configuration file.
names = [
    "", "a.dbf", "sub/dir/file.txt", "..", "../etc/passwd", "a/../../b", "a/./b//c/",
    "/etc/passwd", "./", "sub\\..\\..\\x", "C:\\windows\\x", "a\0b", "...", ".../x", "a/.",
    "%2e%2e/x", "\xff\xfe/\x80", "x" * 300, "/".join(["d"] * 100), "a/b/../c/./d/../../e",
]
configs = [
    "port = 8080\nglobaltimeout = 120\nlumoroot = /srv/lumodex/html\n",
    "# comment\n   # indented comment\nPORT=0x1F90\n",
    "libraries = d,xbase,/usr/lib/lumodex/xbase.so\nlibraries = b,n/a,/usr/lib/lumodex/builtin.so\n",
    "errorsettings = LmOPEN=display,fatal\nerrorsettings = bad\n",
    "port = 99999999999\nport = 0xFFFFFFFF\nport = -1\nport = 12x\n",
    "nothing here\n= value\nunknown = 1\ndatadir =\n",
    "datadir = ~/data\r\ndefaultfile = index.lmc\r\n",
    "libraries = ,,\nlibraries = a\nerrorsettings = =,\n",
]
write("path", [n.encode("latin-1") for n in names] + [c.encode() for c in configs])

# --- expr_fuzz ---------------------------------------------------------------
# options byte (bit 0 a default view, bit 1 an old language version, bit 2
# a source file name, bits 4-7 the line), then the expression.
lines = (ROOT / "tests" / "expr" / "expression_corpus.txt").read_text().splitlines()
chosen = sorted(set(lines), key=lambda s: (len(s), s))
step = max(1, len(chosen) // 30)
picked = chosen[::step][:30] + [
    "", "(", "1 +", "a[", "'open", "join(", "twice(1, 2)", "arr[1][2][3]", "rec:x:y:z",
    "1 / 0", "\"\\\"", "((((((((((1))))))))))",
]
write("expr", [bytes([i * 37 & 0xFF]) + text.encode() for i, text in enumerate(picked)])

# --- text_fuzz ---------------------------------------------------------------
# first byte mod 4: 0 codecs, 1 an ISO 8601 date, 2 a time pattern after an
# instant (int64) and a month step (int32), 3 a number (double), a decimals
# byte and a separator.

codecs = [
    "", "Zm9v", "Zm9vYg==", "Zm9vYg", "Zm 9v\r\nYmFy", "Zm9v=YmFy", "4a6F", "abc", "a+b%20c%2",
    "%zz%", "&amp;&lt;&gt;&quot;&#40;&#41;", "&#65;&#x41;&#x10FFFF;&#xD800;&nbsp;&apos;", "&#;&#x;&",
    "\xff\x00\x7f caf\xc3\xa9",
]
dates = [
    "2024-02-29", "2023-02-29", "20240229", "2024-02-29T12:30", "2024-02-29 12:30:45.123Z",
    "2024-02-29T123045+0130", "0001-01-01T00:00+23:59", "9999-12-31T24:00:00", "9999-12-31T23:59:59-23:59",
    "0000-01-01", "2024-13-01", "2024-01-01T24:00:01", "2024-01-01T12:60", "2024-01-01T", "+2024",
]
patterns = [
    (0, 0, "%Y-%m-%d %H:%M:%S"), (1700000000, 1, "%a %A %b %B %j %w %u"), (-1, -13, "%z %Z %s %F %T %%"),
    (2 ** 62, 120000, "%e %I %p %y"), (-(2 ** 63), -120000, "%"), (42, 7, "%q tail"),
]
numbers = [
    (1234567.891, 2, ","), (0.135, 2, ""), (-0.004, 2, ""), (1e300, 0, " "), (-1e-300, 20, "."),
    (2.5, 0, "'"), (123456789012345678.0, 3, "\u00a0"),
]
write("text", [bytes([0]) + c.encode("latin-1") for c in codecs]
      + [bytes([1]) + d.encode() for d in dates]
      + [bytes([2]) + struct.pack("<qi", t, m) + p.encode() for t, m, p in patterns]
      + [bytes([3]) + struct.pack("<dB", x, d) + s.encode() for x, d, s in numbers])

# --- stdlib_fuzz -------------------------------------------------------------
# Pages calling the standard library. A refused argument ends the run, so
# each page makes good calls first and one bad call last.
good = [
    "{{ len('abc') }}{{ substr('hello', 1, 3) }}{{ left('abc', 9) }}{{ right('abc', 2) }}"
    "{{ find('abcabc', 'c') }}{{ findlast('abcabc', 'c') }}{{ replace('a-b-c', '-', '+') }}",
    "{{ upper('abc') }}{{ lower('ABC') }}{{ trim('  a  ') }}{{ ltrim(' a') }}{{ rtrim('a ') }}"
    "{{ lpad('7', 3, '0') }}{{ rpad('7', 3, '.') }}{{ len(repeat('ab', 100000)) }}",
    "<LmASSIGN var=\"a\" value=\"split('a,b,,c', ',')\">{{ join(a, '-') }}{{ count(a) }}"
    "{{ join(reverse(a), '') }}{{ search(a, 'c') }}{{ join(slice(a, 2, 9), '') }}{{ push(a, 'd') }}"
    "{{ pop(a) }}{{ join(sort(a, 'd'), ',') }}{{ type(a) }}",
    "{{ compare('a', 'b') }}{{ icompare('A', 'a') }}{{ startswith('abc', 'ab') }}{{ endswith('abc', '') }}"
    "{{ ord('A') }}{{ chr(65) }}{{ numformat(1234567.891, 2, ',') }}{{ isnum('1e5') }}",
    "{{ abs(0 - 3) }}{{ floor(2.5) }}{{ ceil(0 - 2.5) }}{{ round(0.135, 2) }}{{ min(1, 2) }}"
    "{{ max(3, 4) }}{{ div(7, 2) }}{{ rem(7, 3) }}{{ random(1, 5) }}",
    "{{ timeformat(0, '%F %T %Z %s %%') }}{{ timelocal(1000000, '%a %b %j') }}"
    "{{ timeparse('2024-02-29T14:05:09+01:00') }}{{ adddays(0, 2) }}{{ addmonths(0, 13) }}"
    "{{ addseconds(0, 61) }}{{ weekday(0) }}",
    "{{ urlencode('a b&c') }}{{ urldecode('%zz+%41') }}{{ htmlencode('<&>') }}"
    "{{ htmldecode('&#65;&amp;') }}{{ base64encode('abc') }}{{ base64decode('YWJj') }}"
    "{{ hexencode('abc') }}{{ hexdecode('616263') }}",
    "{{ md5('') }}{{ sha1('abc') }}{{ sha256('abc') }}{{ hmacsha256('key', 'text') }}",
    "<LmCAPTURE var=\"j\">{\"a\":[1,2,{\"b\":null}],\"c\":true,\"d\":\"\\u00e9\"}</LmCAPTURE>"
    "<LmASSIGN var=\"v\" value=\"jsondecode(j)\">{{ jsonencode(v) }}{{ join(members(v), ',') }}{{ type(v) }}",
    "{{ defined(nothing) }}{{ coalesce('', 'x') }}{{ sleep(0) }}",
]
bad = [
    "{{ substr('x', 0 - 1, 99) }}", "{{ rpad('7', 3, '') }}", "{{ chr(256) }}", "{{ div(7, 0) }}",
    "{{ timeparse('2024-02-30') }}", "{{ adddays(0, 2147483647) }}", "{{ base64decode('@@') }}",
    "{{ hexdecode('abc') }}", "{{ jsondecode('[[[[') }}", "{{ numformat(1, 99, '') }}",
    "{{ fileread('a.txt') }}", "{{ filewrite('../x', 'y') }}", "{{ dirlist('.') }}",
    "{{ sort(nothing, 'x') }}", "{{ repeat('ab', 0 - 1) }}", "{{ random(5, 1) }}",
]
write("stdlib", [(g + b).encode() for g in good for b in bad[good.index(g) % len(bad):][:2]])
