// Calls the file system makes upward, as function pointers that kernel
// start-up installs (install_hooks) before anything can call them. A hook
// left null is skipped.
#pragma once

// The changes the file history records (anywhen_event).
enum anywhen_event_kind {
  ANYWHEN_WRITE = 0,      // path written: a checkpoint of the host file
  ANYWHEN_DELETE = 1,     // path deleted
  ANYWHEN_MKDIR = 2,      // folder made
  ANYWHEN_TIME_MARK = 3,  // a time mark, with path as its note when given
  ANYWHEN_OPEN_LOG = 4,   // only opens the day's log (paths not used)
};

struct pdisk_hooks {
  // Records one change of the workstation's files in the history: kind is an
  // anywhen_event_kind, second_path the origin of a copy or the host file.
  void (*history_event)(int kind, const char *path, const char *second_path);
};
extern pdisk_hooks pdisk_hook;

// Records a change through the history hook. Without one (a program that
// never installed the hooks) the change is not recorded, and the log says so
// rather than losing it silently.
void pdisk_record_history(int kind, const char *path, const char *second_path);
