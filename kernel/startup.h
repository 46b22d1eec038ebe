// Start-up: the blobs of "sysrom.dat", the command line, and the building of
// the whole workstation state that every reboot repeats.
#pragma once
#include <cstdint>

struct pbuffer;

inline constexpr int max_dat_files = 64;
inline constexpr int32_t max_dat_blob = 0x2000000;

extern pbuffer *dat_file[max_dat_files];
extern int dat_files;

// Reads the run of length-prefixed blobs from a host file into `dat_file`
// (at most 64; a length out of range, a short read or end of file ends it).
void load_dat_files(const char *path);
// The blob with its cursor reset to 0, or null for an index out of range.
pbuffer *get_dat_file(int index);
// Fills `config` from the command line (options are matched by prefix).
void process_arguments(int argc, char **argv);
// Empties the state of every subsystem, as each reboot does first: the
// workstation record, the process table, the file tables and mounts, the
// colour tables and the synthesiser. The one place where a subsystem's reset
// is called; the tests' shared fixture (tests/support) uses it too.
void reset_subsystems();
// Installs the hooks through which the lower folders call upward (base_hook,
// gfx_hook, sorn_hook, pdisk_hook). Start-up calls it first; reset_subsystems calls it
// too, so every test that resets the workstation has them.
void install_hooks();
// reset_subsystems, then the mounts, the root process and its boot script.
void reset_app_state();
// The program: start-up, then the frame loop for ever.
[[noreturn]] void kernel_main(int argc, char **argv);
