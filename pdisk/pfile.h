// The file table: every RAM file and folder, and every host file while it is
// open, in one table sorted by name; opening and closing with whole-file
// buffers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/pbuffer.h"

enum pfile_kind : uint32_t { PFILE_EMPTY = 0, PFILE_HOST = 1, PFILE_RAM = 2 };
constexpr uint32_t PFILE_ATTR_FOLDER = 1;
constexpr int PDISK_MAX_PFILES = 262144;

struct pfile_entry {
  uint32_t kind;           // pfile_kind
  pbuffer *name;           // sort key; for a RAM record the same buffer as origin
  uint32_t name_hash;      // MurmurHash3 x86_32 of the name, seed 0
  pbuffer *origin;         // host path or RAM path
  FILE *host_file;         // the temporary file of a host write, open until pfclose
  pbuffer *data;           // the whole contents; cursor = read/write position
  uint32_t attributes;     // PFILE_ATTR_FOLDER
  char mode[2];            // letters of the current open; cleared by pfclose
  pbuffer *host_tmp_path;  // where a host write is prepared before the rename
  int64_t writer;          // id of the process charged for a RAM file (0: none)
  int64_t charged;         // bytes charged to it
};

extern pfile_entry *pfile[PDISK_MAX_PFILES];
extern int32_t num_pfiles;
extern int pending_sync;
extern int32_t last_sync_t;
extern int32_t total_pdisk_calls;

void pfile_init();
void pfile_reset();
pfile_entry *pfile_insert(pbuffer *name, uint32_t kind, pbuffer *origin);
int get_index_by_name(const char *name);
pfile_entry *get_ram_file_by_index(int index);
pfile_entry *get_ram_file_by_name(const char *name);
void sweep_empty_pfiles();
int32_t pdisk_num_pfiles();
int pdisk_count_slots_by_kind(uint32_t kind);

// Releases a record's buffers and zeroes it; it stays in the table as an
// empty record until the next sweep.
void pfile_release(pfile_entry *f);

// Opens a file as a whole buffer. Mode letters: "r", "w", "a", then
// optionally "f" (past a mount at exactly this path), "e" (existence only),
// "m" (read at most about 64 KiB). Null on failure.
pfile_entry *pfopen(const char *path, const char *mode);
// Closes f. A host file opened "w" or "a" is written whole to a temporary
// file beside it and renamed over it. Returns 0, or -1 (logged) when that host
// write failed, in which case the host file is left as it was.
int pfclose(pfile_entry *f);
// RAM files count against the memory limit of the process that last wrote
// them, for as long as both exist: their bytes and their name's.
// True when writing `bytes` over the file at path keeps the current process
// within its limit (always for a host file, and outside any process).
bool pfile_write_fits(const char *path, int64_t bytes);
// Charges a RAM record to the current process, in place of its last writer.
void pfile_charge_writer(pfile_entry *f);
// The same for the RAM record that path leads to, if any.
void pfile_charge_writer_at(const char *path);
int64_t pfwrite(const void *src, uint64_t size, uint64_t count, pfile_entry *f);
void sync_fs(int force);
