-- The boot script returns: the root process must not be removed.
printh("boot returns")
