// Remote fetch jobs: each download runs over HTTP(S) on a worker thread of
// its own and fills its job record; the main thread starts jobs and polls
// them by id, never waiting for the network.
//
// At most GURL_IN_FLIGHT_MAX workers run at once: a job started beyond that
// fails at once. Every transfer is bounded (gurl_limits): a connect time-out,
// a low-speed time-out, a total time-out, a response size cap and a redirect
// count; a failed job lets go of what it had received. A job belongs to the
// process current when it started, answers only that process, and is capped
// at what that process's memory may still take, the bytes of its other held
// jobs counted in (so one process cannot fill the total for all);
// gurl_cancel_jobs_of ends its transfers and lets go of its jobs.
//
// A job lives in slot id mod 256 of the table and keeps it, finished or not,
// until it is released (read by its owner, or its owner ended). A new job
// takes the next id whose slot is free; with every slot held, or its owner
// holding GURL_PROCESS_SHARE jobs, it is refused. The record is shared by the
// slot and the worker: a released slot lets go of the record, and the worker
// goes on writing into that record alone (freed when the worker ends).
// Workers are detached from the start.
//
// A response lives in pages mapped for it and grown in place by its worker,
// never in the main thread's heap; all responses together hold at most
// GURL_HELD_MAX bytes, and a transfer that would pass that fails.
//
// Threads: the worker writes the response, the last chunk size and the status
// of its own record. The status is stored (release) after the bytes it
// covers; the main thread reads the response only once it has read (acquire)
// status 3 or 4, after which the worker writes nothing more to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "host/os_host.h"

enum gurl_status : uint32_t {
  GURL_CREATED = 0,
  GURL_RECEIVING = 2,
  GURL_DONE = 3,
  GURL_FAILED = 4,
};

inline constexpr uint32_t GURL_SLOTS = 256;
inline constexpr uint32_t GURL_NO_JOB = 0xFFFFFFFF;
// Workers running at once, those of released jobs included (a job released
// while it runs lets go of its slot at once, its worker ends soon after).
inline constexpr int32_t GURL_IN_FLIGHT_MAX = 256;
// The largest response: the payload limit of a cartridge (64 MiB). A
// transfer that would pass it is ended as failed.
inline constexpr uint64_t GURL_RESPONSE_MAX = 0x4000000;
// Jobs one process may hold at once (running, or finished and unread).
inline constexpr int32_t GURL_PROCESS_SHARE = 64;
// Charged to the process that starts a job (a worker thread and a
// transfer's set-up cost the host far more than the call's few
// instructions); a body read back costs a cycle for every GURL_BYTES_PER_CYCLE
// bytes.
inline constexpr int64_t GURL_START_CYCLES = 16000;
inline constexpr int64_t GURL_BYTES_PER_CYCLE = 4;
// Bytes all responses may hold together.
inline constexpr uint64_t GURL_HELD_MAX = 0x10000000;  // 256 MiB

// The bounds every transfer runs under, read when a job starts (main thread).
struct gurl_limits_record {
  long connect_timeout_ms = 20000;  // to have a connection, name lookup included
  long low_speed_bytes = 1;         // a transfer slower than this many bytes a second
  long low_speed_seconds = 30;      // for this long fails
  long total_timeout_ms = 600000;   // the whole transfer, however it trickles
  uint64_t response_max = GURL_RESPONSE_MAX;
  long redirects_max = 10;
};
extern gurl_limits_record gurl_limits;

// A growable byte buffer whose data, once allocated, always has a 0 after
// the last byte. Capacity starts at 256 (or as reserved) and doubles. A
// mapped buffer keeps its bytes in pages of their own (counted in
// gurl_held_bytes), which grow in place where they can.
struct gurl_buffer;
// Lets go of the buffer's storage; it is empty, without data, afterwards.
void gurl_buffer_free(gurl_buffer *b);

struct gurl_buffer {
  uint8_t *data = nullptr;
  uint64_t length = 0;    // mirrors position
  uint64_t capacity = 0;  // bytes allocated
  uint64_t position = 0;  // where the next write goes
  bool mapped = false;    // set before the first write
  gurl_buffer() = default;
  gurl_buffer(const gurl_buffer &) = delete;
  gurl_buffer &operator=(const gurl_buffer &) = delete;
  ~gurl_buffer() { gurl_buffer_free(this); }
};
// Bytes held by mapped buffers (any thread).
extern std::atomic<uint64_t> gurl_held_bytes;

struct gurl_job;
// Runs on the worker thread: after each chunk (status 2) and once at the end
// (status 3 or 4). It may touch the job handed to it and nothing of the main
// thread's state.
using gurl_callback = void (*)(gurl_job *job);

struct gurl_job {
  uint32_t id = 0;
  gurl_buffer url;
  gurl_buffer extra;     // a text for the callback, made by the starter; empty when none
  gurl_buffer response;  // the bytes received so far
  std::atomic<uint32_t> status{GURL_CREATED};
  void *curl = nullptr;  // the transfer's handle while it runs (worker only)
  uint64_t last_chunk = 0;
  gurl_callback callback = nullptr;
  int64_t owner = 0;                   // the process that started it; 0 for the kernel
  std::atomic<bool> cancelled{false};  // set by the main thread; the worker stops soon after
  gurl_limits_record limits;           // as they were at the start
  // Bytes received by the jobs of the same owner that share this counter
  // (any thread), and this job's part of them (worker only).
  std::shared_ptr<std::atomic<uint64_t>> owner_bytes;
  uint64_t counted = 0;
  uint64_t owner_room = 0;  // what the owner's memory could still take at the start
  gurl_job() = default;
  gurl_job(const gurl_job &) = delete;
  gurl_job &operator=(const gurl_job &) = delete;
  ~gurl_job() {
    if (owner_bytes) owner_bytes->fetch_sub(counted, std::memory_order_relaxed);
  }
};

struct gurl_slot {
  std::shared_ptr<gurl_job> job;
};

extern gurl_slot gurl_slots[GURL_SLOTS];
extern uint32_t next_gurl_job_id;  // 1 at start, grows by 1 a job
// Workers that have not yet ended (any thread may read it).
extern std::atomic<int32_t> gurl_in_flight;

// Starts a download of url (http and https only; anything else fails) for
// the current process and returns the job's id; GURL_NO_JOB for a null url,
// or when no slot is free or the process holds its share. With
// GURL_IN_FLIGHT_MAX workers running, the job fails at once (its callback
// runs on the calling thread). The response is capped at the smaller of the
// limit and what the process's memory may still take. extra, when given, is
// kept in the job for the callback. A null callback means none. Main thread.
uint32_t gurl_get(const char *url, const char *extra, gurl_callback callback);
// Ends the transfers of every job that process started (whatever their
// slots hold now); each fails soon after on its own thread. The slots of its
// jobs are released. Main thread.
void gurl_cancel_jobs_of(int64_t owner);
// The job with that id, or null when no slot holds it. Valid until the next
// gurl_get or release. Main thread.
gurl_job *gurl_get_job(uint32_t id);
// The job with that id when that process owns it (0: the kernel), else null.
// Main thread.
gurl_job *gurl_get_job_of(uint32_t id, int64_t owner);
// Lets go of the job with that id: its slot is free, its bytes freed (once
// its worker, if running, has ended). Main thread.
void gurl_release_job(uint32_t id);
// The first job still running (status 0 or 2) whose url contains text, or
// null. Main thread.
gurl_job *gurl_get_job_by_url(const char *text);
// The worker's body; data is a heap-held std::shared_ptr<gurl_job>, which it
// frees.
int gurl_get_worker(void *data);
// The transfer's write function: appends the bytes to the response, then
// calls the callback. size x count, or 0 (ending the transfer) when the
// response would pass the job's size cap or the job was cancelled.
size_t gurl_curl_write(char *bytes, size_t size, size_t count, void *job);
// Appends n bytes at the position, growing the capacity from the old one (at
// least 256) by doubling until the bytes and a 0 fit. False, with the buffer
// unchanged, when the storage cannot be had.
bool gurl_buffer_write(gurl_buffer *b, const void *bytes, uint64_t n);
