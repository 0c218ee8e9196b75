#!/usr/bin/env python3
"""Rewrites a PDB that GNU ld wrote so that it no longer depends on where or when it was made.

  pdb_reproducible.py FILE.pdb BUILD_DIR

ld names the build folder in the PDB (the linker module's environment block holds the
link's working directory and the PDB's absolute path, and every object module is named by
its absolute path) and stamps the PDB with the link's time. This takes BUILD_DIR out of those
names (a path below it becomes relative to it, BUILD_DIR itself "."), sets the time stamp to
the first word of the GUID, which ld derives from the image's contents (--build-id), and
lays the streams out again in index order, so that the same image gives the same bytes from
any folder at any time. The GUID and age, which the image's CodeView record names, stay.
"""
import struct
import sys

MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
NIL_STREAM = 0xFFFFFFFF
PDB_STREAM, DBI_STREAM = 1, 3
S_ENVBLOCK = 0x113D
DBI_HEADER_SIZE = 64
MODINFO_FIXED_SIZE = 64


def read_msf(data):
    if data[:len(MAGIC)] != MAGIC:
        raise ValueError("not an MSF 7.00 file")
    block_size, _, _, directory_bytes, _, block_map = struct.unpack_from("<6I", data, 32)

    def blocks(indices, size):
        return b"".join(data[i * block_size:(i + 1) * block_size] for i in indices)[:size]

    count = -(-directory_bytes // block_size)
    directory = blocks(struct.unpack_from("<%dI" % count, data, block_map * block_size), directory_bytes)
    stream_count = struct.unpack_from("<I", directory)[0]
    sizes = struct.unpack_from("<%dI" % stream_count, directory, 4)
    offset, streams = 4 + 4 * stream_count, []
    for size in sizes:
        if size == NIL_STREAM:
            streams.append(None)
            continue
        n = -(-size // block_size)
        streams.append(blocks(struct.unpack_from("<%dI" % n, directory, offset), size))
        offset += 4 * n
    return block_size, streams


def write_msf(block_size, streams):
    """Superblock, the two free block maps, each stream in index order, then the directory
    and the block that lists the directory's blocks."""
    fpm_slots = (1, 2)
    next_block = [3]

    def allocate(count):
        indices = []
        while len(indices) < count:
            if next_block[0] % block_size not in fpm_slots:
                indices.append(next_block[0])
            next_block[0] += 1
        return indices

    placed = []
    for stream in streams:
        if stream is not None:
            placed.append((allocate(-(-len(stream) // block_size)), stream))
    directory = struct.pack("<I", len(streams)) + b"".join(
        struct.pack("<I", NIL_STREAM if s is None else len(s)) for s in streams)
    directory += b"".join(struct.pack("<%dI" % len(indices), *indices) for indices, _ in placed)
    directory_blocks = allocate(-(-len(directory) // block_size))
    placed.append((directory_blocks, directory))
    block_map = struct.pack("<%dI" % len(directory_blocks), *directory_blocks)
    if len(block_map) > block_size:
        raise ValueError("stream directory too large for one block map block")
    (block_map_block,) = allocate(1)
    placed.append(([block_map_block], block_map))
    block_count = next_block[0]
    # The free block map: a bit per block, set where the block is free. Its bytes fill the
    # map's blocks at each interval in turn.
    used = bytearray(b"\xff" * (-(-block_count // block_size) * block_size))
    for i in range(block_count):
        used[i // 8] &= ~(1 << (i % 8))
    out = bytearray(block_count * block_size)
    for interval in range(-(-block_count // block_size)):
        chunk = used[interval * block_size:(interval + 1) * block_size]
        for slot in fpm_slots:
            at = (interval * block_size + slot) * block_size
            if at < len(out):
                out[at:at + block_size] = chunk
    for indices, content in placed:
        for n, i in enumerate(indices):
            piece = content[n * block_size:(n + 1) * block_size]
            out[i * block_size:i * block_size + len(piece)] = piece
    out[:56] = MAGIC + struct.pack("<6I", block_size, 1, block_count, len(directory), 0, block_map_block)
    return bytes(out)


def relative(text, build_dir):
    if text == build_dir:
        return b"."
    if text.startswith(build_dir + b"/"):
        return text[len(build_dir) + 1:]
    return text


def rewrite_env_block(stream, build_dir):
    """The module's symbol records with each value of its S_ENVBLOCK made relative; returns
    the new records and the change in their length."""
    out, offset = bytearray(stream[:4]), 4
    while offset + 4 <= len(stream):
        length, kind = struct.unpack_from("<HH", stream, offset)
        record = stream[offset:offset + 2 + length]
        if kind == S_ENVBLOCK:
            strings = record[5:].split(b"\0")
            end = strings.index(b"")  # the block ends with an empty string
            body = record[4:5] + b"".join(relative(s, build_dir) + b"\0" for s in strings[:end]) + b"\0"
            body += b"\0" * (-(4 + len(body)) % 4)
            record = struct.pack("<HH", 2 + len(body), kind) + body
        out += record
        offset += 2 + length
    out += stream[offset:]
    return bytes(out), len(out) - len(stream)


def rewrite(data, build_dir):
    block_size, streams = read_msf(data)
    info = bytearray(streams[PDB_STREAM])
    info[4:8] = info[12:16]  # the time stamp becomes the GUID's first word
    streams[PDB_STREAM] = bytes(info)

    dbi = streams[DBI_STREAM]
    modinfo_size = struct.unpack_from("<i", dbi, 24)[0]
    modules, offset, end = bytearray(), DBI_HEADER_SIZE, DBI_HEADER_SIZE + modinfo_size
    while offset < end:
        fixed = bytearray(dbi[offset:offset + MODINFO_FIXED_SIZE])
        names = dbi[offset + MODINFO_FIXED_SIZE:end].split(b"\0", 2)[:2]
        entry_size = MODINFO_FIXED_SIZE + len(names[0]) + len(names[1]) + 2
        entry_size += -entry_size % 4
        stream_index, symbol_bytes = struct.unpack_from("<HI", fixed, 34)
        if stream_index != 0xFFFF and symbol_bytes:
            symbols, growth = rewrite_env_block(streams[stream_index][:symbol_bytes], build_dir)
            if growth:
                streams[stream_index] = symbols + streams[stream_index][symbol_bytes:]
                struct.pack_into("<I", fixed, 36, symbol_bytes + growth)
        entry = bytes(fixed) + b"".join(relative(n, build_dir) + b"\0" for n in names)
        modules += entry + b"\0" * (-len(entry) % 4)
        offset += entry_size
    header = bytearray(dbi[:DBI_HEADER_SIZE])
    struct.pack_into("<i", header, 24, len(modules))
    streams[DBI_STREAM] = bytes(header) + bytes(modules) + dbi[end:]
    return write_msf(block_size, streams)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    path, build_dir = argv[1], argv[2].rstrip("/").encode()
    with open(path, "rb") as f:
        data = f.read()
    try:
        result = rewrite(data, build_dir)
    except (ValueError, struct.error, IndexError) as error:
        print("%s: %s" % (path, error), file=sys.stderr)
        return 1
    with open(path, "wb") as f:
        f.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
