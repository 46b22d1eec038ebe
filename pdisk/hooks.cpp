#include "pdisk/hooks.h"

#include "base/klog.h"

pdisk_hooks pdisk_hook;

void pdisk_record_history(int kind, const char *path, const char *second_path) {
  if (pdisk_hook.history_event)
    pdisk_hook.history_event(kind, path, second_path);
  else
    klog("** history not recorded (no history hook installed): change %d of %s\n", kind,
         path ? path : "");
}
