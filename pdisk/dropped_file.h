// A host file dropped on the window.
#pragma once

// Copies the host file to "/ram/drop/<name>" (characters a path may not hold
// become '_') and tells the window manager with a "drop_items" message. A
// folder or an empty file is refused with a notification.
void process_dropped_file(const char *host_path);
