-- A ROM that fails after its first lines: a frame marked alone, one in the
-- crowd, then an error. The kernel bench must take none of it for a figure.
printh("from")
printh("idle")
flip()
printh("idle")
printh("crowd")
error("the ROM fails")
