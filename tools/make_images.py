#!/usr/bin/env python3
"""Writes the two firmware images that a build embeds by default.

The update tool treats an image as opaque bytes apart from its 16-byte start
record, so these images only need the right size, the right records and a body
that looks like what a bootloader of that processor would receive. They are made
here, from nothing but this script, and are the same bytes on every run and
every Python 3 version (no random module, no time, no platform dependence).

    make_images.py --main PATH --second PATH
"""

import argparse
import os
import struct
import sys
import tempfile

MAIN_SIZE = 106560  # 6660 packets of 16 bytes
SECOND_SIZE = 19792  # 1237 packets

MAIN_START = bytes([0x00, 0x01]) + b"ZKT58_E1" + bytes(6)
MAIN_SECOND_RECORD = bytes([0x01, 0x08, 0x00, 0x50, 0x00, 0x00, 0x01, 0x9F]) + bytes(8)
SECOND_START = bytes([0x02, 0x01]) + b"WVN31_F2" + bytes(6)
SECOND_SECOND_RECORD = bytes([0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x48]) + bytes(8)

HEADER_SIZE = 32


class XorShift32:
    """Small deterministic generator, so the filler never depends on Python's own."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n


# ---------------------------------------------------------------------------
# Main image: Cortex-M (Thumb) code linked to run at FLASH_BASE.

FLASH_BASE = 0x08005000
INITIAL_SP = 0x20008000
SYSTEM_VECTORS = 16
EXTERNAL_IRQS = 48
VECTOR_TABLE_SIZE = 4 * (SYSTEM_VECTORS + EXTERNAL_IRQS)


def halfwords(*values):
    return b"".join(struct.pack("<H", v) for v in values)


def thumb_filler_function(rng):
    """One function-shaped run of 16-bit Thumb instructions."""
    out = [0xB5F0]  # push {r4-r7, lr}
    for _ in range(4 + rng.below(28)):
        kind = rng.below(9)
        rd, rn, rm = rng.below(8), rng.below(8), rng.below(8)
        if kind == 0:
            out.append(0x2000 | rd << 8 | rng.below(256))  # movs rd, #imm8
        elif kind == 1:
            out.append(0x1800 | rm << 6 | rn << 3 | rd)  # adds rd, rn, rm
        elif kind == 2:
            out.append(0x6800 | rng.below(32) << 6 | rn << 3 | rd)  # ldr rd, [rn, #imm]
        elif kind == 3:
            out.append(0x6000 | rng.below(32) << 6 | rn << 3 | rd)  # str rd, [rn, #imm]
        elif kind == 4:
            out.append(0x2800 | rd << 8 | rng.below(256))  # cmp rd, #imm8
        elif kind == 5:
            out.append(0xD100 | rng.below(8))  # bne forward
        elif kind == 6:
            out.append(0x0000 | (1 + rng.below(31)) << 6 | rm << 3 | rd)  # lsls rd, rm, #imm
        elif kind == 7:
            out.append(0x4000 | rm << 3 | rd)  # ands rd, rm
        else:
            out.append(0x1C00 | rng.below(8) << 6 | rn << 3 | rd)  # adds rd, rn, #imm3
    out.append(0xBDF0)  # pop {r4-r7, pc}
    return halfwords(*out)


def make_main_image():
    body_size = MAIN_SIZE - HEADER_SIZE

    def address(offset):
        return FLASH_BASE + offset

    # Code laid out right after the vector table: reset, fault and default handlers.
    reset_at = VECTOR_TABLE_SIZE
    # Reset handler: clear .bss, then call main and stay put should it return.
    reset_code = halfwords(
        0x4805,  # ldr  r0, [pc, #20]   ; start of .bss
        0x4906,  # ldr  r1, [pc, #24]   ; end of .bss
        0x2200,  # movs r2, #0
        0x4288,  # cmp  r0, r1
        0xD201,  # bcs  done
        0xC004,  # stmia r0!, {r2}
        0xE7FB,  # b    loop
        0x4B04,  # ldr  r3, [pc, #16]   ; main
        0x4798,  # blx  r3
        0xE7FE,  # b    .
        0xBF00,  # nop (literal pool alignment)
        0xBF00,
    )
    main_at = reset_at + len(reset_code) + 12
    literals = struct.pack("<III", 0x20000000, 0x20000400, address(main_at) | 1)
    reset_block = reset_code + literals
    main_code = halfwords(0xB510, 0xBF30, 0xE7FD)  # push {r4, lr}; wfi; b wfi
    nmi_at = main_at + len(main_code)
    hardfault_at = nmi_at + 2
    default_at = hardfault_at + 2
    handlers = halfwords(0xE7FE, 0xE7FE, 0xE7FE)  # nmi, hard fault, default: b .

    vectors = [INITIAL_SP, address(reset_at) | 1, address(nmi_at) | 1, address(hardfault_at) | 1]
    vectors += [address(default_at) | 1] * 3  # memory management, bus and usage faults
    vectors += [0] * 4  # reserved
    vectors += [address(default_at) | 1] * 2  # SVCall, debug monitor
    vectors += [0]  # reserved
    vectors += [address(default_at) | 1] * 2  # PendSV, SysTick
    vectors += [address(default_at) | 1] * EXTERNAL_IRQS
    assert len(vectors) * 4 == VECTOR_TABLE_SIZE

    body = bytearray(struct.pack("<%dI" % len(vectors), *vectors))
    body += reset_block
    assert len(body) == main_at
    body += main_code + handlers
    body += halfwords(0xBF00) * ((-len(body)) % 4 // 2)

    rng = XorShift32(0x5A4B5438)
    while True:
        chunk = thumb_filler_function(rng)
        if len(body) + len(chunk) > body_size:
            break
        body += chunk
    body += halfwords(0xBF00) * ((body_size - len(body)) // 2)  # nop up to the end
    assert len(body) == body_size
    return MAIN_START + MAIN_SECOND_RECORD + bytes(body)


# ---------------------------------------------------------------------------
# Second image: 8051 code; code address 0 is the byte right after the records.

MCS51_START = 0x0080
MCS51_INTERRUPTS = [0x0003, 0x000B, 0x0013, 0x001B, 0x0023, 0x002B]


def mcs51_filler_function(rng):
    """One subroutine-shaped run of 8051 instructions, ending in RET."""
    out = bytearray()
    for _ in range(3 + rng.below(20)):
        kind = rng.below(10)
        r = rng.below(8)
        if kind == 0:
            out += bytes([0x74, rng.below(256)])  # mov a, #imm
        elif kind == 1:
            out += bytes([0xF8 | r])  # mov rn, a
        elif kind == 2:
            out += bytes([0xE8 | r])  # mov a, rn
        elif kind == 3:
            out += bytes([0x24, rng.below(256)])  # add a, #imm
        elif kind == 4:
            out += bytes([0x90, rng.below(256), rng.below(256)])  # mov dptr, #imm16
        elif kind == 5:
            out += bytes([0xF0])  # movx @dptr, a
        elif kind == 6:
            out += bytes([0xA3])  # inc dptr
        elif kind == 7:
            out += bytes([0xE0])  # movx a, @dptr
        elif kind == 8:
            out += bytes([0x75, 0x80 + rng.below(128), rng.below(256)])  # mov direct, #imm
        else:
            out += bytes([0xD8 | r, 0x100 - 2 - rng.below(4)])  # djnz rn, back
    out += bytes([0x22])  # ret
    return bytes(out)


def make_second_image():
    body_size = SECOND_SIZE - HEADER_SIZE
    body = bytearray(b"\xFF" * MCS51_START)  # unprogrammed between the vectors
    body[0:3] = bytes([0x02, MCS51_START >> 8, MCS51_START & 0xFF])  # ljmp start
    for vector in MCS51_INTERRUPTS:
        body[vector] = 0x32  # reti: no interrupt is used

    # start: set the stack, clear the internal RAM, then run the main loop.
    body += bytes([
        0x75, 0x81, 0x60,  # mov sp, #0x60
        0x78, 0x7F,  # mov r0, #0x7f
        0xE4,  # clr a
        0xF6,  # loop: mov @r0, a
        0xD8, 0xFD,  # djnz r0, loop
    ])
    main_loop = len(body)
    body += bytes([0x12, 0x00, 0x00])  # lcall (patched below to the first subroutine)
    body += bytes([0x80, (main_loop - (len(body) + 2)) & 0xFF])  # sjmp main_loop
    first_function = len(body)
    body[main_loop + 1:main_loop + 3] = bytes([first_function >> 8, first_function & 0xFF])

    rng = XorShift32(0x57564E33)
    while True:
        chunk = mcs51_filler_function(rng)
        if len(body) + len(chunk) > body_size:
            break
        body += chunk
    body += b"\x00" * (body_size - len(body))  # nop up to the end
    assert len(body) == body_size
    return SECOND_START + SECOND_SECOND_RECORD + bytes(body)


def write_atomically(path, data):
    """The build must never see a half-written image."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".image-")
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def main(argv):
    parser = argparse.ArgumentParser(description="Write the two default firmware images.")
    parser.add_argument("--main", required=True, help="output path of the main image")
    parser.add_argument("--second", required=True, help="output path of the second image")
    args = parser.parse_args(argv)

    images = [(args.main, make_main_image(), MAIN_SIZE), (args.second, make_second_image(), SECOND_SIZE)]
    for path, data, size in images:
        if len(data) != size or len(data) % 16 != 0:
            sys.exit("make_images.py: internal error, %s would be %d bytes" % (path, len(data)))
        try:
            write_atomically(path, data)
        except OSError as error:
            sys.exit("make_images.py: cannot write %s: %s" % (path, error))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
