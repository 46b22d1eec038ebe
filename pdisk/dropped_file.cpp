// A host file dropped on the window becomes a file in /ram/drop.
#include "pdisk/dropped_file.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/klog.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

void process_dropped_file(const char *host_path) {
  if (!host_path) return;
  klog("dropped file: %s\n", host_path);
  const char *name = host_path;
  for (const char *c = host_path; *c; c++)
    if (*c == '/' || *c == '\\') name = c + 1;
  char path[1024];
  std::snprintf(path, sizeof path, "/ram/drop/%s", name);
  for (char *c = path; *c; c++)
    if (!is_path_char((unsigned char)*c)) *c = '_';

  // The host file is read and judged before the drop file is opened:
  // opening it for writing empties a file dropped earlier under this name.
  pbuffer *contents = create_buffer_from_file(host_path);
  // A folder gives no buffer (only regular files are read): it is refused
  // as an empty file is, with the notification.
  struct stat st;
  bool folder = !contents && stat(host_path, &st) == 0 && S_ISDIR(st.st_mode);
  if (!contents && !folder) {
    klog(" ** could not create buffer from file: %s\n", host_path);
    return;
  }
  if (folder || contents->length == 0) {
    destroy_buffer(contents);
    notify("** dropping folders (and size zero files) not supported **");
    return;
  }
  pfile_entry *f = pfopen(path, "wf");
  if (!f) {
    destroy_buffer(contents);
    klog(" ** could not open temp file: %s\n", path);
    return;
  }
  destroy_buffer(f->data);
  f->data = contents;
  pfclose(f);

  proc *wm = get_process(PID_WINDOW_MANAGER);
  if (!wm) return;
  pbuffer *b = create_buffer_2(1024, 'r');
  bappend_str(b, "{event=\"drop_items\",_flags=1,items={{pod_type=\"file_reference\",fullpath=\"");
  bappend_str_escaped(b, path);
  bappend_str(b, "\"}}}");
  send_process_message(wm, b);
  destroy_buffer(b);
}
