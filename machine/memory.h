// Paged process memory: 16 MiB per process in 4096 pages of 4 KiB, each page
// created zero-filled on its first access (read or write) or mapped onto a
// userdata's bytes. Addresses are taken modulo 16 MiB; multi-byte values are
// little-endian and resolved byte by byte, so they may straddle pages and
// wrap from the top of memory to address 0. Every write marks the written
// page's flag byte 255.
#pragma once

#include <cstdint>

#include "machine/process.h"

// Reads of the current process `cproc`.
int32_t peek(int32_t addr);   // 0..255
int32_t peek2(int32_t addr);  // signed 16-bit value
int32_t peek4(int32_t addr);  // signed 32-bit value
int64_t peek8(int32_t addr);  // signed 64-bit value

// Reads of a given process; 0 for a null process. Unlike the current
// process's reads, a read of another process creates nothing there: a page
// it does not have reads as 0.
int32_t peek_proc(proc *p, int32_t addr);
int32_t peek2_proc(proc *p, int32_t addr);
int32_t peek4_proc(proc *p, int32_t addr);

// Writes of the current process: the low 8, 16, 32 or 64 bits of value.
void poke(int32_t addr, int32_t value);
void poke2(int32_t addr, int32_t value);
void poke4(uint32_t addr, uint32_t value);
void poke8(uint32_t addr, uint64_t value);

// Writes of a given process; a null process is ignored.
void poke_proc(proc *p, int32_t addr, int32_t value);
void poke2_proc(proc *p, int32_t addr, int32_t value);

// Block copy and fill in the current process; each returns its cost in
// virtual cycles, which the caller charges. Copies behave as if the source
// were read whole before the destination is written.
int32_t kvd_memcpy(int32_t dest, int32_t src, int32_t length);
int32_t kvd_memset(int32_t addr, int32_t value, int32_t length);

// Writes length bytes into process p from addr on (wrapping at 16 MiB), as
// that many one-byte writes would, region by region; a null process is
// ignored. Costs nothing: for the kernel's own set-up.
void kvd_pwrite(proc *p, int32_t addr, const void *bytes, int32_t length);

// Reads length bytes of the current process from addr on (wrapping at 16
// MiB) into bytes, as that many one-byte reads would: the pages they touch
// are created. Costs nothing: the caller charges.
void kvd_read_block(int32_t addr, void *bytes, int32_t length);

// Copies the whole pages from start >> 12 up to (not including) end >> 12
// from one process to another; pages absent in the source are skipped.
void kvd_pmemcpy_pages(proc *src, proc *dest, int32_t start, int32_t end);

// A new process's memory: pages 0 to 15 present (65536 page bytes), flags 2
// on the colour-table pages 8 to 11. Expects a zeroed proc_memory.
void proc_memory_init(proc *p);
// Frees every own page and leaves the memory empty (all pages absent).
void proc_memory_free(proc *p);
