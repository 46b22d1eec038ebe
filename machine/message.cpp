// Message queues: zero-terminated pod texts back to back, oldest first. The
// queue buffer's cursor is the read position: reading a message only moves
// it, and the bytes already read are dropped when they make up half the
// buffer or the queue has been read to its end, so that each byte is moved a
// bounded number of times.
#include "machine/message.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/klog.h"
#include "base/os_time.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/memory_room.h"
#include "machine/process.h"

static pbuffer *rpm_buffer;  // shared read buffer for callers without their own

// A drained queue larger than this goes back to its first size.
static constexpr uint64_t message_queue_keep = 0x100000;

// Moves the unread bytes to the front of the queue.
static void queue_compact(pbuffer *q) {
  int32_t read = q->cursor, unread = q->length - q->cursor;
  if (read <= 0) return;
  std::memmove(q->data, q->data + read, (size_t)unread);
  std::memset(q->data + unread, 0, (size_t)read);
  q->length = unread;
  q->cursor = 0;
}

static int32_t queue_unread(const pbuffer *q) { return q->length - q->cursor; }

static int64_t queue_append(proc *receiver, const void *text, int32_t len) {
  if (!receiver) return 0;
  pbuffer *q = receiver->message_buffer;
  if (!q) {
    std::printf("*** no message buffer: %lld\n", (long long)receiver->id);
    std::fflush(stdout);
    return 0;
  }
  int64_t unread = queue_unread(q);
  if (len < 0 || unread + len + 1 > message_queue_limit) return 0;
  // The queue's bytes are the receiver's: with its counted memory they stay
  // within what a process may hold.
  if (proc_counted_memory(receiver) + unread + len + 1 > memory_limit + alloc_headroom) return 0;
  // Compacting only once the bytes read are at least the unread ones keeps
  // each move paid for by the reads before it (and the buffer under twice
  // the unread bytes).
  if (q->cursor >= queue_unread(q)) queue_compact(q);
  int32_t read = q->cursor, start = q->length;
  q->cursor = q->length;
  bool whole = (len == 0 || bwrite(text, 1, (uint64_t)len, q) == len) && bwrite_uint8(0, q) == 1;
  if (!whole) {
    std::memset(q->data + start, 0, (size_t)(q->length - start));
    q->length = start;  // keep the queue made of whole messages
  }
  q->cursor = read;
  if (!whole) return 0;
  INVARIANT(q->data[q->length - 1] == 0);
  INVARIANT(q->cursor <= q->length && queue_unread(q) <= message_queue_limit);
  return (int64_t)len + 1;
}

int64_t message_queue_room(const proc *receiver) {
  if (!receiver || !receiver->message_buffer) return 0;
  int64_t unread = queue_unread(receiver->message_buffer);
  int64_t room =
      std::min<int64_t>(message_queue_limit - unread,
                        memory_limit + alloc_headroom - proc_counted_memory(receiver) - unread);
  return std::max<int64_t>(0, room - 1);  // less the zero byte
}

int64_t send_process_message(proc *receiver, const pbuffer *text) {
  if (!text) return 0;
  return queue_append(receiver, text->data, text->length);
}

int64_t send_process_message_string(proc *receiver, const char *text) {
  if (!text) return 0;
  return queue_append(receiver, text, (int32_t)std::strlen(text));
}

pbuffer *read_process_message(proc *p, pbuffer *into) {
  if (!p || !p->message_buffer || queue_unread(p->message_buffer) <= 0) return nullptr;
  pbuffer *q = p->message_buffer;
  if (!into) {
    if (!rpm_buffer) rpm_buffer = create_buffer_2(4096, 'r');
    bclear(rpm_buffer);
    into = rpm_buffer;
  }
  const uint8_t *first = q->data + q->cursor;
  const void *end = std::memchr(first, 0, (size_t)queue_unread(q));
  // A queue is only ever appended whole messages, so the zero byte is there.
  INVARIANT(end != nullptr);
  int32_t n = end ? (int32_t)((const uint8_t *)end - first) + 1 : queue_unread(q);
  bwrite(first, 1, (uint64_t)n, into);
  q->cursor += n;
  if (queue_unread(q) == 0) {
    pbuffer *fresh = q->capacity > message_queue_keep
                         ? create_buffer_2(message_queue_first_capacity, 'r')
                         : nullptr;
    if (fresh) {  // a flood is over: its storage goes back
      destroy_buffer(q);
      p->message_buffer = fresh;
    } else {
      queue_compact(q);
    }
  }
  return into;
}

int report_error(const char *text) {
  if (!text) text = "unknown error";
  pbuffer *b = create_buffer_2(1024, 'r');
  bappend_str(b, "{event=\"report_error\",content=\"");
  bappend_str_escaped(b, text);
  char tail[128];
  std::snprintf(tail, sizeof tail, "\",_from=%lld,_sent_t=%lld,_flags=%d}",
                (long long)(cproc ? cproc->id : 0), (long long)os_get_time(),
                cproc ? cproc->flags : 0);
  bappend_str(b, tail);
  if (get_process_count() > 0) {
    if (proc *wm = get_process(PID_WINDOW_MANAGER)) send_process_message(wm, b);
  }
  klog("SYSTEM ERROR: %s\n", text);
  destroy_buffer(b);
  return 0;
}

int notify(const char *text) {
  proc *wm = get_process(PID_WINDOW_MANAGER);
  if (!wm) return 0;
  pbuffer *b = create_buffer_2(1024, 'r');
  bappend_str(b, "{event=\"user_notification\",content=\"");
  bappend_str_escaped(b, text ? text : "");
  bappend_str(b, "\"}");
  send_process_message(wm, b);
  destroy_buffer(b);
  return 0;
}
