// Message queues between processes, and the event texts the kernel sends to
// the window manager (process 3): error reports, notifications, dropped files.
#pragma once
#include <cstdint>

struct proc;
struct pbuffer;

// A queue never holds more bytes than this: a message (with its zero byte)
// that would take it past the cap is refused whole.
inline constexpr int32_t message_queue_limit = 0x1000001;
// A new queue's room; a drained queue that had grown far past it shrinks back.
inline constexpr int32_t message_queue_first_capacity = 16384;

// Appends the text and a zero byte to the receiver's queue; the bytes
// appended, 0 for a null receiver or a full queue. The unread bytes count
// with the receiver's memory: a message that would take the two past the
// memory a process may hold is refused too.
int64_t send_process_message(proc *receiver, const pbuffer *text);
int64_t send_process_message_string(proc *receiver, const char *text);
// The longest text (without its zero byte) the receiver's queue would take
// now; 0 for a null receiver.
int64_t message_queue_room(const proc *receiver);
// Moves the oldest message (with its zero byte) to `into` at its cursor, or to
// the shared read buffer when `into` is null; null when the queue is empty.
// Takes time in proportion to the message, not to the queue.
pbuffer *read_process_message(proc *p, pbuffer *into);

int report_error(const char *text);
int notify(const char *text);
