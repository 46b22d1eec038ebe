// The file history: every version of the files written to host folders, kept
// on the host disk while the "anywhen" setting is on, and the queries over
// it. Store and events: anywhen/anywhen_store.h; queries:
// anywhen/anywhen_query.h.
#pragma once

#include "base/pbuffer.h"
#include "pdisk/hooks.h"

struct lua_State;

// Starts a session: the day's log is loaded afresh and a time mark with the
// note "__start_session" written.
void anywhen_open();
// Ends the session: the path -> version table is freed.
void anywhen_close();
// Records one event (anywhen_event_kind) of the workstation path; a write
// reads the file from second_path, its host path. Nothing is recorded while
// the setting is off, for paths containing ".bin/", or for texts holding
// control bytes. Failures are logged, never reported to the caller.
void anywhen_event(int kind, const char *path, const char *second_path);
// Empties the history's state (the table, the day log in use, the month
// filters); called by reset_subsystems only.
void anywhen_reset();

// History queries of the file API; each takes the Lua argument unchanged: a
// path, one byte, "@", one byte, then a date "YYYY-MM-DD" or a moment
// "YYYY-MM-DD_hh:mm:ss" (UTC).
// The days on which the path was touched, as a table of dates; returns 1.
int anywhen_list_by_loc(lua_State *L, const char *path);
// The moments of one day at which the file (a path with an extension) or the
// files of a folder got a new version, as times of day; returns 1, or 0 with
// nothing pushed when the query is malformed.
int anywhen_list_by_day(lua_State *L, const char *query);
// The entries of a folder at a moment, folders first; returns 1, or 0 with
// nothing pushed when the query is malformed.
int anywhen_list_by_folder_moment(lua_State *L, const char *query);
// A new buffer with the bytes of the file the query names at its moment, or
// null.
pbuffer *anywhen_fetch(const char *query);
