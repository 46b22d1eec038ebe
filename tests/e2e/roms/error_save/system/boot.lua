-- Changes a cartridge, then fails in the root process, which ends the
-- program: the change must reach the cartridge file first.
mkdir("/k.kvd")
store("/k.kvd/a.lua", "print(2)", '--[[pod_format="raw",metadata_format="none"]]')
error("stopping here")
