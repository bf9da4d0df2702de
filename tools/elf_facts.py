"""elf_facts.py: what a 64-bit little-endian ELF shared object (an x86_64 or aarch64 Python
module) asks of the system and offers to it, read with the standard library alone, so that the
checks need no binutils: on the old systems the wheels are tested on, there is no toolchain."""

import struct
from dataclasses import dataclass

SHT_DYNAMIC, SHT_DYNSYM, SHT_GNU_VERNEED = 6, 11, 0x6FFFFFFE
DT_NEEDED = 1
STT_SECTION = 3


@dataclass
class ElfFacts:
    machine: int                  # e_machine: 62 for x86_64, 183 for aarch64
    needed: list[str]             # DT_NEEDED libraries, in order
    versions: dict[str, set[str]]  # the symbol versions needed, by library
    defined: set[str]             # the symbols defined in the dynamic symbol table


def read_elf(data: bytes) -> ElfFacts:
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    machine, = struct.unpack_from("<H", data, 18)
    shoff, = struct.unpack_from("<Q", data, 40)
    shentsize, shnum = struct.unpack_from("<HH", data, 58)
    # (type, offset, size, link, info, entsize) of every section header
    sections = [struct.unpack_from("<4xI16xQQII8xQ", data, shoff + i * shentsize)
                for i in range(shnum)]

    def string(table: int, offset: int) -> str:
        start = sections[table][1] + offset
        return data[start:data.index(b"\0", start)].decode()

    facts = ElfFacts(machine, [], {}, set())
    for kind, offset, size, link, info, entsize in sections:
        if kind == SHT_DYNAMIC:
            for at in range(offset, offset + size, 16):
                tag, value = struct.unpack_from("<qQ", data, at)
                if tag == DT_NEEDED:
                    facts.needed.append(string(link, value))
        elif kind == SHT_DYNSYM:
            for at in range(offset + entsize, offset + size, entsize):  # entry 0 is null
                name, symbol_info, _, section = struct.unpack_from("<IBBH", data, at)
                if section != 0 and symbol_info & 0xF != STT_SECTION:
                    facts.defined.add(string(link, name))
        elif kind == SHT_GNU_VERNEED:
            # sh_info libraries, each with a chain of the versions needed from it.
            at = offset
            for _ in range(info):
                _, count, file, aux, following = struct.unpack_from("<HHIII", data, at)
                names = facts.versions.setdefault(string(link, file), set())
                entry = at + aux
                for _ in range(count):
                    _, _, _, name, next_aux = struct.unpack_from("<IHHII", data, entry)
                    names.add(string(link, name))
                    entry += next_aux
                at += following
    return facts
