// Message queues between processes, and the event texts the kernel sends to
// the window manager (process 3): error reports, notifications, dropped files.
#pragma once
#include <cstdint>

struct proc;
struct pbuffer;

// A queue never holds more bytes than this: a message (with its zero byte)
// that would take it past the cap is refused whole.
inline constexpr int32_t message_queue_limit = 0x1000001;

// Appends the text and a zero byte to the receiver's queue; the bytes
// appended, 0 for a null receiver or a full queue.
int64_t send_process_message(proc *receiver, const pbuffer *text);
int64_t send_process_message_string(proc *receiver, const char *text);
// Moves the oldest message (with its zero byte) to `into` at its cursor, or to
// the shared read buffer when `into` is null; null when the queue is empty.
pbuffer *read_process_message(proc *p, pbuffer *into);

int report_error(const char *text);
int notify(const char *text);
void process_dropped_file(const char *host_path);
