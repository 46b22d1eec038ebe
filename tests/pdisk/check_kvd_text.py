# The text cartridge against an independent reader and writer written here
# from the format alone, not from our code, with Python's base64 in this system's
# alphabet (62 is "_", 63 is "-"): cartridges packed by ours are read here,
# and a cartridge written here is unpacked by ours into a host folder.
import base64, os, random, subprocess, sys, tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_rom import write_tree  # noqa: E402

rng = random.Random(11)
ALT = b"_-"

def make_tree(root):
    files = {"main.lua": b"print('hi')\nreturn 1", "nl.lua": b"x = 1\n", "empty.lua": b"",
             "notes.txt": b"a\n\nb\n", "tricky.lua": b"a\n:: b\n", "b64.txt": b"b64$AAAA\n",
             "crlf.txt": b"a\r\nb", "utf.txt": "caf\u00e9".encode(), ".info.pod": b"--[[pod]]{}",
             "gfx/0.gfx": bytes(range(256)), "gfx/nl.dat": b"\n", "z54.bin": os.urandom(54),
             "z55.bin": os.urandom(55), "zero.bin": b""}
    for i in range(20):
        n = rng.randrange(0, 300)
        if i % 2:
            files["r%d.bin" % i] = bytes(rng.randrange(256) for _ in range(n))
        else:
            files["t/r%d.lua" % i] = bytes(rng.choice(b"ab \n=()") for _ in range(n))
    write_tree(root, files, ["emptydir"])
    return files, {"gfx", "t", "emptydir"}

def entry_name(line):
    # the name ends at the first blank, control character or byte above 127
    name = line[3:]
    for i, c in enumerate(name):
        if c < 33 or c > 127:
            return name[:i].decode()
    return name.decode()

def read_cart(cart):
    lines = cart.split(b"\n")
    assert lines[0].startswith(b"kavelund cartridge // "), lines[0]
    assert lines[1] == b"version 2" and lines[2] == b"", lines[:3]
    files, folders, cur, mode = {}, set(), None, None
    passes = []  # pass of each entry, in file order
    def close():
        if cur is not None and mode == "text":
            d = files[cur]
            if len(d) >= 2 and d.endswith(b"\n"):
                files[cur] = d[:-1]
    for line in lines[3:]:
        if line.endswith(b"\r"):
            line = line[:-1]
        if line.startswith(b":: "):
            close()
            if mode == "text" and cur is not None:
                passes.append(2 if ".info.pod" in cur else 1)
            elif mode in ("b64", "hex"):
                passes.append(2)
            cur, mode, first = None, None, True
            name = entry_name(line)
            if name == "[eoc]":
                assert passes == sorted(passes), passes
                return files, folders
            if name.endswith("/"):
                folders.add(name[:-1])
                passes.append(0)
            else:
                cur, mode = name, "text"
                files[cur] = b""
            continue
        if cur is None:
            continue
        if mode == "text" and line.startswith(b"b64$"):
            mode, line = "b64", line[4:]
            # the first line carries 54 bytes, every further one 57
            assert len(line) <= 72, line
        elif mode == "text" and line.startswith(b"hex$"):
            mode, line = "hex", line[4:]
        if mode == "b64":
            assert len(line) <= 76, line
            files[cur] += base64.b64decode(line, altchars=ALT) if line else b""
        elif mode == "hex":
            files[cur] += bytes.fromhex(line[:len(line) // 2 * 2].decode())
        else:
            files[cur] += line + b"\n"
    raise AssertionError("no end line")

def is_plain_text(name, data):
    ext_ok = name.endswith((".lua", ".txt")) or ".info.pod" in name
    bad = data == b"" or any(b == 0 or b > 127 for b in data) or b"\r" in data
    bad = bad or any(l.startswith((b":: ", b"b64$", b"hex$")) for l in data.split(b"\n"))
    return ext_ok and not bad

def write_cart(files, folders):
    out = [b"kavelund cartridge // test\nversion 2\n\n"]
    for d in sorted(folders):
        out.append(b":: %s/\n" % d.encode())
    binary = []
    for name in sorted(files):
        data = files[name]
        if is_plain_text(name, data) and ".info.pod" not in name:
            out.append(b":: %s\n%s\n" % (name.encode(), data))
        else:
            binary.append(name)
    for k, name in enumerate(binary):
        data = files[name]
        out.append(b":: %s\n" % name.encode())
        if is_plain_text(name, data):
            out.append(data + b"\n")
            continue
        if k % 2:
            # every other binary file in the hex form: 36 bytes, then 38 a line
            chunks = [data[:36]] + [data[i:i + 38] for i in range(36, len(data), 38)]
            for i, c in enumerate(chunks):
                out.append((b"hex$" if i == 0 else b"") + c.hex().encode() + b"\n")
            continue
        chunks = [data[:54]] + [data[i:i + 57] for i in range(54, len(data), 57)]
        for i, c in enumerate(chunks):
            out.append((b"b64$" if i == 0 else b"") + base64.b64encode(c, altchars=ALT) + b"\n")
    # lines may also end in CR LF, and a name ends at its first blank
    out.append(b":: crlf_w.txt and a remark\r\nline one\r\nline two\r\n")
    out.append(b":: [eoc]\n")
    return b"".join(out)

def read_tree(root):
    files, folders = {}, set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            folders.add(os.path.normpath(os.path.join(rel, d)))
        for f in filenames:
            with open(os.path.join(dirpath, f), "rb") as fh:
                files[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return files, folders

def main():
    probe = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "src")
        files, folders = make_tree(src)
        names = sorted([d + "/" for d in folders] + list(files))
        cart_path = os.path.join(tmp, "ours.kvd")
        subprocess.run([probe, "kvd", src, cart_path], input="\n".join(names) + "\n", text=True,
                       check=True)
        with open(cart_path, "rb") as f:
            got_files, got_folders = read_cart(f.read())
        assert got_folders == folders, got_folders
        for name in files:
            assert got_files.get(name) == files[name], (name, got_files.get(name), files[name])
        assert set(got_files) == set(files), set(got_files) ^ set(files)

        theirs = os.path.join(tmp, "theirs.kvd")
        with open(theirs, "wb") as f:
            f.write(write_cart(files, folders))
        out = os.path.join(tmp, "out")
        os.makedirs(out)
        subprocess.run([probe, "unkvd", theirs, out], check=True)
        back_files, back_folders = read_tree(out)
        assert back_folders == folders, back_folders
        assert back_files.pop("crlf_w.txt", None) == b"line one\nline two", back_files.get("crlf_w.txt")
        for name in files:
            assert back_files.get(name) == files[name], (name, back_files.get(name), files[name])
    print("ok")

if __name__ == "__main__":
    main()
