// The host configuration record `config`: filled at start from the command
// line and the configuration file, kept across reboots.
//
// Provisional: holds only the fields the host path helpers read so far; the
// start-up code extends it with the display, audio and command-line fields.
#pragma once

struct config_state {
  char home[1024];          // application-data root given by "-home"; empty: the default
  char desktop_root[1024];  // host desktop root; empty (or leading space): the default
};

inline config_state config{};
