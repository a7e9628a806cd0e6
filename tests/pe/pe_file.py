"""The few fields of a PE file's headers that the checks read."""

import dataclasses
import struct


@dataclasses.dataclass
class Section:
    name: str
    virtual_address: int   # relative to the image base
    virtual_size: int
    raw_offset: int
    raw_size: int
    characteristics: int

    CODE = 0x00000020
    EXECUTE = 0x20000000

    @property
    def executable(self):
        return bool(self.characteristics & (self.CODE | self.EXECUTE))


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        (self.machine, section_count, self.time_stamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", self.data, opt)[0]
        if self.magic != 0x10B:
            raise ValueError(f"{path}: not a 32-bit optional header (magic {self.magic:#x})")
        (self.image_base, self.section_alignment, self.file_alignment,
         self.major_os_version, self.minor_os_version, _, _,
         self.major_subsystem_version, self.minor_subsystem_version) = \
            struct.unpack_from("<III HH HH HH", self.data, opt + 28)
        self.checksum, self.subsystem, self.dll_characteristics = \
            struct.unpack_from("<IHH", self.data, opt + 64)
        directory_count = struct.unpack_from("<I", self.data, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", self.data, opt + 96 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = opt + optional_size
        for i in range(section_count):
            raw_name, vsize, vaddr, rsize, roffset = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            flags = struct.unpack_from("<I", self.data, table + 40 * i + 36)[0]
            self.sections.append(Section(raw_name.rstrip(b"\0").decode("ascii", "replace"),
                                         vaddr, vsize, roffset, rsize, flags))

    BASE_RELOCATION_DIRECTORY = 5
    TLS_DIRECTORY = 9
    RELOCS_STRIPPED = 0x0001        # file header characteristics
    DYNAMIC_BASE = 0x0040           # optional header DLL characteristics

    def read(self, address, size):
        """Bytes at a virtual address (image base included) from the section holding it."""
        rva = address - self.image_base
        for s in self.sections:
            if s.virtual_address <= rva and rva + size <= s.virtual_address + s.raw_size:
                start = s.raw_offset + rva - s.virtual_address
                return self.data[start:start + size]
        raise ValueError(f"{address:#x} is in no section's file data")
