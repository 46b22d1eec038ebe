-- An exported cartridge carried as the third blob of the system ROM file.
printh("cart")
