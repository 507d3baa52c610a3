#!/usr/bin/python3
"""Independent oracle for the UTF conversions: prints one case per line.

  U8   <bytes hex> <longest well-formed prefix>
  U16  <UTF-16BE hex> <UTF-8 hex | ERR>
  U16T <UTF-16BE hex> <output size> <UTF-8 hex of what fits>

Python's strict codecs decide; '-' stands for no bytes.
"""
import random

random.seed(4123)


def hx(b):
    return b.hex() or '-'


def prefix_len(b):
    try:
        b.decode('utf-8')
        return len(b)
    except UnicodeDecodeError as e:
        return e.start


NONCHARS = {0xFFFE, 0xFFFF} | set(range(0xFDD0, 0xFDF0))


def rand_cp():
    kind = random.randrange(5)
    while True:
        if kind == 0:
            c = random.randrange(1, 0x80)
        elif kind == 1:
            c = random.randrange(0x80, 0x800)
        elif kind == 2:
            c = random.randrange(0x800, 0x10000)
        elif kind == 3:
            c = random.choice([0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0x10000, 0x10FFFF, 0x1FFFE])
        else:
            c = random.randrange(0x10000, 0x110000)
        if not (0xD800 <= c <= 0xDFFF) and c not in NONCHARS:
            return c


def rand_text(n):
    return ''.join(chr(rand_cp()) for _ in range(n))


out = []

# UTF-8: fixed cases around every boundary of RFC 3629, then corrupted text.
fixed8 = [b'', b'A\xc3', b'A\x80B', b'\xc0\x80', b'\xc1\xbf', b'\xc2\x80', b'\xdf\xbf',
          b'\xe0\x80\x80', b'\xe0\x9f\xbf', b'\xe0\xa0\x80', b'\xed\x9f\xbf', b'\xed\xa0\x80',
          b'\xed\xbf\xbf', b'\xee\x80\x80', b'\xef\xbf\xbf', b'\xf0\x8f\xbf\xbf',
          b'\xf0\x90\x80\x80', b'\xf4\x8f\xbf\xbf', b'\xf4\x90\x80\x80', b'\xf5\x80\x80\x80',
          b'\xf8\x88\x80\x80\x80', b'\xfc\x84\x80\x80\x80\x80', b'\xfe', b'\xff', b'abc\xe2\x82',
          b'\xf0\x9f\x98', b'ok\xe2\x28\xa1', 'h\u00e9llo w\u00f6rld'.encode(),
          '\u65e5\u672c\u8a9e'.encode(), '\U0001F600x'.encode()]
for b in fixed8:
    out.append('U8 %s %d' % (hx(b), prefix_len(b)))
for _ in range(400):
    b = bytearray(rand_text(random.randrange(1, 20)).encode('utf-8'))
    op = random.randrange(4)
    if op == 1 and b:
        b[random.randrange(len(b))] = random.randrange(256)
    elif op == 2 and b:
        del b[random.randrange(len(b)):]
    elif op == 3:
        b.insert(random.randrange(len(b) + 1), random.randrange(0x80, 0x100))
    out.append('U8 %s %d' % (hx(bytes(b)), prefix_len(bytes(b))))

# UTF-16 (big-endian): valid text, then lone, reversed and cut surrogates.
def u16(units):
    return b''.join(u.to_bytes(2, 'big') for u in units)


def verdict(b):
    try:
        return hx(b.decode('utf-16-be').encode('utf-8'))
    except UnicodeDecodeError:
        return 'ERR'


fixed16 = [u16([0xD83D, 0xDE00]), u16([0x41, 0xD800]), u16([0xDC00, 0x41]), u16([0xD800, 0xD800, 0xDC00]),
           u16([0xDC00, 0xD800]), u16([0xD7FF, 0xE000]), u16([0xDBFF, 0xDFFF]), u16([0x41, 0xDFFF, 0x42])]
for b in fixed16:
    out.append('U16 %s %s' % (hx(b), verdict(b)))
for _ in range(400):
    units = list(memoryview(rand_text(random.randrange(1, 50)).encode('utf-16-be')).cast('B'))
    b = bytearray(units)
    op = random.randrange(4)
    if op == 1:
        lone = random.choice([random.randrange(0xD800, 0xDC00), random.randrange(0xDC00, 0xE000)])
        pos = 2 * random.randrange(len(b) // 2 + 1)
        b[pos:pos] = lone.to_bytes(2, 'big')
    elif op == 2:
        b += random.randrange(0xD800, 0xDC00).to_bytes(2, 'big')
    out.append('U16 %s %s' % (hx(bytes(b)), verdict(bytes(b))))

# Output that does not fit is cut before the first code point that would
# leave no room for the terminator.
for _ in range(100):
    s = rand_text(random.randrange(1, 30))
    size = random.randrange(1, 40)
    fit = b''
    for ch in s:
        e = ch.encode('utf-8')
        if len(fit) + len(e) + 1 > size:
            break
        fit += e
    out.append('U16T %s %d %s' % (hx(s.encode('utf-16-be')), size, hx(fit)))

print('\n'.join(out))
