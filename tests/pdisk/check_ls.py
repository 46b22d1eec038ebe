# Folder listings against os.scandir: every visible host entry once, folders
# first (without their "/") and counted, cartridge folders shown as files,
# hidden entries left out, and the mounts of the root shown as folders.
import os, subprocess, sys, tempfile

probe = sys.argv[1]

with tempfile.TemporaryDirectory() as root:
    for d in ["b", "a10", "a2", "z.kvd", ".hidden_dir", "deep/er"]:
        os.makedirs(os.path.join(root, d))
    for f in ["x.lua", "X2.txt", "x10.txt", ".hidden", "c.kvd", "deep/f.txt", "v1.2.kvd"]:
        open(os.path.join(root, f), "w").close()
    paths = ["/", "/deep", "/deep/er", "/missing", "/ram"]
    out = subprocess.run([probe, "ls", root], input="\n".join(paths) + "\n", text=True,
                         capture_output=True, check=True).stdout.splitlines()
    assert len(out) == len(paths), out
    for path, line in zip(paths, out):
        host = os.path.join(root, path.lstrip("/"))
        if not os.path.isdir(host) and path != "/ram":
            assert line == "NULL", (path, line)
            continue
        parts = line.split()
        count, names = int(parts[0]), parts[1:]
        folders, files = set(), set()
        if path != "/ram":
            for e in os.scandir(host):
                if e.name.startswith("."):
                    continue
                is_cart = e.name.endswith((".kvd", ".kvd.rom", ".kvd.png"))
                (folders if e.is_dir() and not is_cart else files).add(e.name)
        if path == "/":
            folders |= {"ram", "system"}
        assert count == len(folders), (path, line)
        assert set(names[:count]) == folders, (path, names)
        assert set(names[count:]) == files, (path, names)
        assert len(names) == len(set(names)), names
print("ok")
