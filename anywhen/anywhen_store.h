// The store of the file history and its events.
//
// Layout under the application-data folder, all dates UTC:
//   anywhen/YYYY-MM/DD.log    the day log: one record a line, appended
//   anywhen/YYYY-MM/pod/HASH  a version as plain bytes (read, never written)
//   anywhen/blob/HASH.lz4     a version: u32 compressed length, u32 raw length
//                             (little-endian), one LZ4 block (HC level 9)
// HASH is the MurmurHash3 x64_128 (seed 0) of the bytes: its 16 result bytes,
// first half then second, each least significant byte first, as 32
// lower-case hex digits.
//
// Day log lines (a moment is "YYYY-MM-DD_hh:mm:ss"):
//   "@ MOMENT" or "@ MOMENT NOTE"  time mark: the records below happened then
//   "$ HASH PATH"                  a new version, stored whole
//   ": HASH PATH"                  the file's version at the start of the day
//   "^ FOLDER/"                    a folder seen by the daily branch
//   "+ BASE PATH"                  a version stored as a delta against BASE
//   "| HEX"                        up to 38 bytes of that stored delta
//   "- PATH"                       PATH deleted
//   "> PATH"                       folder PATH made
// The PATH of "$", ":" and "+" lines starts at byte 35.
//
// The first event of a day creates its log with the daily branch: every file
// under "/" on host folders as ":" lines. A write stores the file whole, or
// as a delta against the version the table holds for it that day when the
// delta is small. A version line is only written once its bytes are on disk,
// so every line names a version that can be loaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/pbuffer.h"
#include "anywhen/htable.h"

constexpr int ANYWHEN_HASH_DIGITS = 32;
constexpr int ANYWHEN_PATH_AT = 35;        // where the path of "$", ":" and "+" lines starts
constexpr int ANYWHEN_MOMENT_LENGTH = 19;  // "YYYY-MM-DD_hh:mm:ss"
constexpr int ANYWHEN_DATE_LENGTH = 10;    // "YYYY-MM-DD"
constexpr int ANYWHEN_LINE_MAX = 1023;     // longer lines are cut when read
constexpr int32_t ANYWHEN_MAX_FILE = 16 * 1024 * 1024;  // files this large or larger are not kept
constexpr int ANYWHEN_DELTA_LINE_BYTES = 38;
constexpr int32_t ANYWHEN_DELTA_MAX = 8192;   // a larger delta is never used
constexpr int32_t ANYWHEN_DELTA_SMALL = 512;  // a delta this small is always used
constexpr int ANYWHEN_DELTA_FRACTION = 16;    // else at most the file's length / 16
constexpr uint32_t ANYWHEN_TABLE_SLOTS = 0x10000;
constexpr int ANYWHEN_MAX_DEPTH = 1024;  // of the daily branch's walk

// A UTC calendar moment.
struct anywhen_time {
  int year, month, day, hour, minute, second;
};

// Path -> hash of its latest whole version in the current day's log.
extern htable *anywhen_tbl;
// The host path of the day log last used; empty before the first event.
extern std::string current_log_path;

// Now, from the file system's clock (clock_utc_seconds).
anywhen_time anywhen_now();
// "YYYY-MM-DD_hh:mm:ss".
std::string anywhen_moment_text(const anywhen_time &t);
// The host path of rel under the application-data folder.
std::string anywhen_host_path(const std::string &rel);
// The host path of a day's log; store, when given, is the host path of
// "anywhen/" (anywhen_host_path), for callers that name many logs.
std::string anywhen_day_log_path(int year, int month, int day, const std::string *store = nullptr);
bool anywhen_host_file_exists(const std::string &host_path);

// The next line of f into line, without its line ending and trailing bytes of
// value 32 or less; at most ANYWHEN_LINE_MAX bytes are kept, the rest of a
// longer line is skipped, and empty lines are skipped. False at the end.
bool anywhen_read_line(FILE *f, std::string &line);

// True when s begins with ANYWHEN_HASH_DIGITS lower-case hex digits.
bool anywhen_is_hash(const char *s);
// A new buffer (cursor 0) with the version named by hash: the plain copy in
// the pod folder of the given month, else the blob. Null when neither loads,
// when hash is not a hash, or when the blob is damaged (a length mismatch is
// printed and logged).
pbuffer *anywhen_load_version(int year, int month, const char *hash);
