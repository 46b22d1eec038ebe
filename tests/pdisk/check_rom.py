# The .kvd.rom form against an independent reader and writer made with
# struct and python3-lz4: ROMs packed by kvd_rompack are parsed here, and a
# ROM written here is unpacked by ours into a host folder.
import os, random, struct, subprocess, sys, tempfile
import lz4.block

rng = random.Random(7)
MAX_PAYLOAD = 0x4000000

def make_tree(root):
    files = {"main.lua": b"print('hi')\n", "empty.txt": b"", "b254.bin": os.urandom(254),
             "b255.bin": os.urandom(255), "big.bin": os.urandom(70000),
             "gfx/0.gfx": bytes(range(256)) * 3, "gfx/deep/er/x.dat": b"\0\1\2\0",
             "a.txt": b"a", "a/z.txt": b"z", "notes..txt": b"n", "d..d/...": b"3"}
    write_tree(root, files, ["emptydir"])
    return files, {"gfx", "gfx/deep", "gfx/deep/er", "a", "emptydir", "d..d"}

def write_tree(root, files, empty_dirs):
    """Writes files ({relative path: bytes}) and empty folders under root."""
    for rel, data in files.items():
        p = os.path.join(root, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
    for d in empty_dirs:
        os.makedirs(os.path.join(root, d))

def parse_rom(rom):
    assert rom[:3] == b"kvd" and rom[3] == 2, rom[:4]
    (n,) = struct.unpack_from("<I", rom, 4)
    assert 8 + n == len(rom), (n, len(rom))
    payload = lz4.block.decompress(rom[8:8 + n], uncompressed_size=MAX_PAYLOAD)
    entries, pos = [], 0
    while pos < len(payload):
        end = payload.index(b"\0", pos)
        name = payload[pos:end].decode()
        pos = end + 1
        if name.endswith("/"):
            entries.append((name, None))
            continue
        size = payload[pos]
        pos += 1
        if size == 255:
            (size,) = struct.unpack_from("<I", payload, pos)
            pos += 4
        else:
            assert size <= 254
        entries.append((name, payload[pos:pos + size]))
        pos += size
    return entries

def check_entries(entries, files, folders):
    names = [e[0].rstrip("/") for e in entries]
    assert names == sorted(names, key=lambda s: s.encode()), names
    assert {e[0][:-1] for e in entries if e[1] is None} == folders
    assert {e[0]: e[1] for e in entries if e[1] is not None} == files

def encode_rom(entries):
    payload = bytearray()
    for name, data in entries:
        payload += name.encode() + b"\0"
        if data is not None:
            payload += bytes([len(data)]) if len(data) <= 254 else b"\xff" + struct.pack("<I", len(data))
            payload += data
    block = lz4.block.compress(bytes(payload), mode="high_compression", compression=9, store_size=False)
    return b"kvd\x02" + struct.pack("<I", len(block)) + block

def main():
    rompack, probe = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        files, folders = make_tree(tree)

        # our writer, read here
        rom_path = os.path.join(tmp, "t.kvd.rom")
        subprocess.run([rompack, "rom", tree, rom_path], check=True)
        check_entries(parse_rom(open(rom_path, "rb").read()), files, folders)

        # sysrom.dat: big-endian length-prefixed blobs
        dat_path = os.path.join(tmp, "sysrom.dat")
        subprocess.run([rompack, "sysrom", tree, dat_path, "--export", "demo", "--cart", tree], check=True)
        dat, blobs, pos = open(dat_path, "rb").read(), [], 0
        while pos < len(dat):
            (n,) = struct.unpack_from(">i", dat, pos)
            blobs.append(dat[pos + 4:pos + 4 + n])
            pos += 4 + n
        assert pos == len(dat) and len(blobs) == 3 and blobs[0] == b"demo", (pos, len(blobs))
        check_entries(parse_rom(blobs[1]), files, folders)
        check_entries(parse_rom(blobs[2]), files, folders)

        # a ROM written here, unpacked by ours into a host folder
        entries = sorted([(k, v) for k, v in files.items()] + [(f + "/", None) for f in folders],
                         key=lambda e: e[0].rstrip("/").encode())
        mine = os.path.join(tmp, "mine.kvd.rom")
        open(mine, "wb").write(encode_rom(entries))
        out = os.path.join(tmp, "out")
        os.mkdir(out)
        subprocess.run([probe, "unrom", mine, out], check=True)
        got_files, got_folders = {}, set()
        for dirpath, dirnames, filenames in os.walk(out):
            rel = os.path.relpath(dirpath, out)
            for d in dirnames:
                got_folders.add(os.path.normpath(os.path.join(rel, d)))
            for f in filenames:
                got_files[os.path.normpath(os.path.join(rel, f))] = open(os.path.join(dirpath, f), "rb").read()
        assert got_files == files, sorted(got_files)
        assert got_folders == folders, got_folders
        # a folder the reader would refuse (a 401-character name) is refused by
        # the packer, which then leaves an existing output file as it was
        deep = os.path.join(tmp, "deep")
        sub = os.path.join(deep, *[c * 99 for c in "abc"])
        os.makedirs(sub)
        open(os.path.join(sub, "n" * 101), "wb").write(b"x")
        r = subprocess.run([rompack, "rom", deep, rom_path], capture_output=True)
        assert r.returncode == 1, r
        check_entries(parse_rom(open(rom_path, "rb").read()), files, folders)
        os.rename(os.path.join(sub, "n" * 101), os.path.join(sub, "n" * 100))
        subprocess.run([rompack, "rom", deep, rom_path], check=True)
        assert max(len(e[0]) for e in parse_rom(open(rom_path, "rb").read())) == 400

        # sysrom.dat readers stop at a blob above 32 MiB: the packer refuses one
        # (incompressible bytes keep the ROM above that size) and keeps the old file
        noisy = os.path.join(tmp, "noisy")
        os.mkdir(noisy)
        open(os.path.join(noisy, "noise.bin"), "wb").write(os.urandom(0x2000000 + 4096))
        before = open(dat_path, "rb").read()
        r = subprocess.run([rompack, "sysrom", tree, dat_path, "--cart", noisy], capture_output=True)
        assert r.returncode == 1 and b"more than sysrom.dat can carry" in r.stderr, r
        assert open(dat_path, "rb").read() == before
    print("rom checks passed")

if __name__ == "__main__":
    main()
