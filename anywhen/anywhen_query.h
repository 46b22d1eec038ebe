// The file history's queries and its monthly filters.
//
// A month's filter (a bloom filter) holds, for every day log of the month,
// the paths written or made that day, the folders holding paths written,
// deleted or made, and each of these followed by "@@" and the day ("%s@@%d"),
// so that most queries are answered without reading a log. A filter is built
// from the month's logs when first asked for and rebuilt after the store
// changes that month; filters are never saved.
#pragma once

#include <bloom.h>

constexpr int ANYWHEN_FIRST_YEAR = 2024;   // filters exist from January of this year
constexpr int ANYWHEN_LATEST_YEAR = 2030;  // searches for a log start no later (or this year)
constexpr int ANYWHEN_MONTHS = 1200;
constexpr int ANYWHEN_BLOOM_ENTRIES = 32768;
constexpr double ANYWHEN_BLOOM_ERROR = 1e-5;
constexpr int ANYWHEN_MAX_MOMENTS = 8192;  // moments listed for one day at most

struct anywhen_month_filter {
  struct bloom filter;
  bool initialised;  // the filter's storage is allocated
  bool built;        // filled from the month's logs since the last change
};

extern anywhen_month_filter monthly_bloom[ANYWHEN_MONTHS];

// The month's index in monthly_bloom, or -1 for a month outside 1..12 or
// outside the years covered.
int anywhen_month_index(int year, int month);
// The month's filter, built when it is not; null for a month without one.
struct bloom *get_bloom_by_month(int year, int month);
// Marks the month's filter for rebuilding.
void invalidate_bloom_by_month(int year, int month);
// Frees every filter's storage.
void anywhen_free_filters();
// Adds the keys of the month's day logs to b; the number of additions.
int anywhen_add_month_to_bloom(int year, int month, struct bloom *b);

// Whether the month's filter holds the path (0 for a month without one), and
// its key for the day (0 also for a day outside 1..31).
int anywhen_check_location_by_month(const char *path, int year, int month);
int anywhen_check_location_by_day(const char *path, int year, int month, int day);
