// stat, the one query function of the API, and the process clock (time, t)
// and calendar dates (date). All act for the current process.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/config.h"
#include "base/cpu_budget.h"
#include "base/pbuffer.h"
#include "base/ram_layout.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "lang/args.h"
#include "gfx/boot_screen.h"
#include "sorn/audio_lock.h"
#include "sorn/sorn.h"
#include "pdisk/pfile.h"
#include "host/os_host.h"
#include "kernel/api.h"
#include "kernel/slice.h"

int64_t global_unique_id = 1;
int16_t audio_dat[AUDIO_DAT_SAMPLES];

static constexpr lua_Integer kvd_version_number = 24;
// The highest field of a channel that the per-frame cache holds.
static constexpr int32_t cached_fields = 19;
// Channel fields whose query copies samples: 19 the channel's share of the
// mix (stereo), 20 to 27 one node's output (mono).
static constexpr int32_t field_channel_mix = 19;
static constexpr int32_t field_last_node = 27;
// STAT_BOTH_CTRL_KEYS: both Control keys down.
static constexpr int32_t scancode_left_ctrl = 224;
static constexpr int32_t scancode_right_ctrl = 228;

// Copies n 16-bit samples of audio_dat to the current process's memory at
// addr, addr + 2, ...; at most what audio_dat holds.
static void copy_samples(int32_t addr, int64_t n) {
  if (n > AUDIO_DAT_SAMPLES) n = AUDIO_DAT_SAMPLES;
  for (int64_t i = 0; i < n; i++) poke2(int32_t(uint32_t(addr) + uint32_t(2 * i)), audio_dat[i]);
}

// The cached value of channel c, field a (0..18). The cache is refreshed
// once a process-clock value, under the audio lock; when the synthesiser
// refuses the lock it answers from the cache as it is.
static double cached_channel_field(proc *p, int32_t c, int32_t a) {
  if (p->channel_cache_clock != p->clock + 1 && audio_op_start(p->id, 0) == 0) {
    for (int32_t ch = 0; ch < 16; ch++)
      for (int32_t f = 0; f < cached_fields; f++)
        p->channel_state_cache[ch][f] = int32_t(sorn_get_channel_state(ch, f, nullptr));
    audio_op_end();
    p->channel_cache_clock = p->clock + 1;
  }
  return p->channel_state_cache[c][a];
}

// Channel c, field a above 18: the sample count, with the samples copied to
// b; 0 when the synthesiser refuses the lock.
static double channel_samples(proc *p, int32_t c, int32_t a, int32_t b) {
  if (audio_op_start(p->id, 0) != 0) return 0.0;
  int64_t count = sorn_get_channel_state(c, a, audio_dat);
  audio_op_end();
  if (a == field_channel_mix)
    copy_samples(b, 2 * count);
  else if (a <= field_last_node)
    copy_samples(b, count);
  return double(count);
}

// The audio queries (STAT_CHANNEL_FIRST to STAT_AUDIO_LAST), for the process
// that owns the audio.
static int stat_audio(lua_State *L, proc *p, int32_t n, int32_t a, int32_t b) {
  if (n <= STAT_CHANNEL_LAST) {
    int32_t c = n - STAT_CHANNEL_FIRST;
    double v = a < 0               ? -1.0
               : a < cached_fields ? cached_channel_field(p, c, a)
                                   : channel_samples(p, c, a, b);
    lua_pushnumber(L, v);
    return 1;
  }
  if (n == STAT_ACTIVE_CHANNELS) {
    if (p->active_channels_clock != p->clock + 1 && audio_op_start(p->id, 0) == 0) {
      p->active_channels = int32_t(sorn_get_active_channels());
      audio_op_end();
      p->active_channels_clock = p->clock + 1;
    }
    lua_pushinteger(L, p->active_channels);
    return 1;
  }
  if (n == STAT_MIX_SAMPLES) {
    int64_t count = 0;
    if (audio_op_start(p->id, 0) == 0) {
      count = sorn_get_channel_state(-1, -1, audio_dat);
      copy_samples(b, 2 * count);
      audio_op_end();
      spend_cpu(int64_t(double(count) * 0.5));
    }
    lua_pushnumber(L, double(count));
    return 1;
  }
  if (n == STAT_MUSIC_STATE || n == STAT_MUSIC_STATE_LAST) {
    int32_t v = 0;
    if (audio_op_start(p->id, 0) == 0) {
      v = sorn_get_music_state(n - STAT_MUSIC_STATE);
      audio_op_end();
    }
    lua_pushinteger(L, v);
    return 1;
  }
  lua_pushnumber(L, -1.0);
  return 1;
}

int lua54_stat(lua_State *L) {
  int32_t n = int32_t(kvd_intp(L, 1, 0));
  int64_t a64 = kvd_intp(L, 2, 0);
  int32_t a = int32_t(a64), b = int32_t(kvd_intp(L, 3, 0));
  proc *p = cproc;
  if (!p) return 0;
  if (n >= STAT_CHANNEL_FIRST && n <= STAT_AUDIO_LAST) {
    if (p->id != app.audio_owner || (n > STAT_CHANNEL_LAST && n < STAT_ACTIVE_CHANNELS) ||
        n > STAT_MUSIC_STATE_LAST) {
      lua_pushnumber(L, -1.0);
      return 1;
    }
    return stat_audio(L, p, n, a, b);
  }
  double v = 0.0;
  switch (n) {
    case STAT_MEMORY:
      lua_gc(L, LUA_GCCOLLECT);
      v = double(proc_counted_memory(p));
      break;
    case STAT_CPU:
      v = (double(cpu_budget.cycles) + p->cycles_since_flip) / CPU_CYCLES_PER_FRAME;
      break;
    case STAT_LUA_HEAP:
      lua_gc(L, LUA_GCCOLLECT);
      v = int32_t(uint32_t(lua_gc(L, LUA_GCCOUNT)) * 1024u + uint32_t(lua_gc(L, LUA_GCCOUNTB)));
      break;
    case STAT_VERSION:
      lua_pushinteger(L, kvd_version_number);
      lua_pushstring(L, kvd_version_text);
      return 2;
    case STAT_FPS:
      v = p->fps == 0 ? 60.0 : p->fps;
      if (app.battery_saver_active) v *= 0.5;
      break;
    case STAT_UNIX_TIME:
      v = double(std::time(nullptr));
      break;
    case STAT_TIMEZONE:
      tzset();
      v = double(timezone);
      break;
    case STAT_NIL:
      lua_pushnil(L);
      return 1;
    case STAT_EMPTY_TEXT_FIRST:
    case STAT_EMPTY_TEXT_FIRST + 1:
    case STAT_EMPTY_TEXT_FIRST + 2:
    case STAT_EMPTY_TEXT_LAST:
    case STAT_INFO_TEXT:
      lua_pushstring(L, n == STAT_INFO_TEXT ? config.info_text : "");
      return 1;
    case STAT_FRAME_CPU:
      v = double(get_total_frame_cycles()) / CPU_CYCLES_PER_FRAME;
      break;
    case STAT_KEY_NAME:
      if (const char *name = host_key_from_scancode(a))
        lua_pushstring(L, name);
      else
        lua_pushnil(L);
      return 1;
    case STAT_FRAME_COUNT:
      v = double(app.frame_count);
      break;
    case STAT_CPU_SINCE_WM_FLIP:
      v = double(get_total_frame_cycles_since_wm_flip()) / CPU_CYCLES_PER_FRAME;
      break;
    case STAT_ANY_KEY:
      lua_pushboolean(L, (peek(RAM_PROCESS_FLAGS) & PFLAG_ANY_KEY_STAT) && host_key_state(-1) != 0);
      return 1;
    case STAT_BUILD:
      lua_pushstring(L, kvd_build_text);
      return 1;
    case STAT_PROCESS_FLAGS:
      v = p->flags;
      break;
    case STAT_BUFFERS:
      v = double(get_total_num_buffers());
      break;
    case STAT_BUFFER_BYTES:
      v = double(get_total_buffer_allocation());
      break;
    case STAT_OPEN_FILES:
      v = pdisk_num_pfiles();
      break;
    case STAT_PAGE_LENGTH:
      // Addresses outside the 16 MiB answer 0.
      v = a64 >= 0 && a64 < int64_t(RAM_SIZE) ? p->mem.mapped_length[a64 / RAM_PAGE_SIZE] : 0;
      break;
    case STAT_PAGE_BYTES:
      v = double(p->mem.page_bytes);
      break;
    case STAT_PI:
      v = 3.141592653589793;
      break;
    case STAT_HEADLESS:
      v = config.headless;
      break;
    case STAT_CARTRIDGE_KIND:
      v = app.exported_cartridge ? 3 : 1;
      break;
    case STAT_GIF_RECORDING:
      v = app.gif_recording ? 1.0 : 0.0;
      break;
    case STAT_GIF_FRAMES:
      v = app.gif_recording ? app.gif_frame_count / 2 : 0;
      break;
    case STAT_AUDIO_CAPTURE:
      v = app.audio_capture_on ? 1 : 0;
      break;
    case STAT_BATTERY_SAVER:
      v = app.battery_saver_active ? 1 : 0;
      break;
    case STAT_UNIQUE_ID:
      v = double(global_unique_id++);
      break;
    case STAT_ANYTHING_PLAYING: {
      sorn_lock_audio();
      uint32_t playing = sorn_anything_is_playing();
      sorn_unlock_audio();
      lua_pushinteger(L, playing);
      return 1;
    }
    case STAT_AUDIO_OWNER:
      v = double(app.audio_owner);
      break;
    case STAT_FLIPPED:
      v = p->flipped;
      break;
    case STAT_BOOT_FINISHED:
      v = app.boot_finished ? 1 : 0;
      break;
    case STAT_USERLAND_FLAG_36:
      v = app.userland_flag_36 ? 1 : 0;
      break;
    case STAT_BOOT_TIME:
      v = boot_get_time();
      break;
    case STAT_BOTH_CTRL_KEYS:
      start_frame();
      v = host_key_state(scancode_left_ctrl) && host_key_state(scancode_right_ctrl) ? 1.0 : 0.0;
      break;
    default:
      break;
  }
  lua_pushnumber(L, v);
  return 1;
}

int lua54_time(lua_State *L) {
  lua_pushnumber(L, cproc ? double(cproc->clock) / 60.0 : 0.0);
  return 1;
}

// The conversions date accepts after "%": single letters, then two-letter
// ones beginning with E or O.
static const char date_single[] = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";
static const char *const date_double[] = {"Ec", "EC", "Ex", "EX", "Ey", "EY", "Od",
                                          "Oe", "OH", "OI", "Om", "OM", "OS", "Ou",
                                          "OU", "OV", "Ow", "OW", "Oy"};

// The length of the conversion at s (after its "%"), 0 when it is not one.
static size_t date_conversion(const char *s, size_t left) {
  if (left >= 1 && s[0] != 0 && std::strchr(date_single, s[0])) return 1;
  if (left >= 2)
    for (const char *d : date_double)
      if (s[0] == d[0] && s[1] == d[1]) return 2;
  return 0;
}

// Time of a "YYYY-MM-DD HH:MM:SS" text read by position (each character is
// worth its code minus 48; missing characters count as "0"), as UTC.
static time_t time_from_text(const char *s, size_t len) {
  auto field = [&](size_t from, size_t count) {
    int v = 0;
    for (size_t i = from; i < from + count; i++)
      v = v * 10 + (i < len ? (unsigned char)s[i] : '0') - 48;
    return v;
  };
  struct tm tm {};
  tm.tm_year = field(0, 4) - 1900;
  tm.tm_mon = field(5, 2) - 1;
  tm.tm_mday = field(8, 2);
  tm.tm_hour = field(11, 2);
  tm.tm_min = field(14, 2);
  tm.tm_sec = field(17, 2);
  tm.tm_isdst = 0;
  return timegm(&tm);
}

static void set_date_field(lua_State *L, const char *key, int value) {
  lua_pushinteger(L, value);
  lua_setfield(L, -2, key);
}

int lua54_date(lua_State *L) {
  size_t flen = 0;
  const char *format = luaL_optlstring(L, 1, "!%Y-%m-%d %H:%M:%S", &flen);
  time_t t;
  if (lua_type(L, 2) == LUA_TSTRING) {
    size_t len = 0;
    const char *s = lua_tolstring(L, 2, &len);
    t = time_from_text(s, len);
  } else if (lua_isnoneornil(L, 2)) {
    t = std::time(nullptr);
  } else {
    t = time_t(luaL_checkinteger(L, 2));
  }
  if (!lua_isnoneornil(L, 3)) {
    lua_Integer offset = luaL_checkinteger(L, 3);
    time_t sum;
    if (__builtin_add_overflow(t, time_t(offset), &sum))
      return luaL_error(L, "time result cannot be represented in this installation");
    t = sum;
  }
  if (t == time_t(-1))
    return luaL_error(L, "time result cannot be represented in this installation");
  const char *s = format, *end = format + flen;
  struct tm tm_buf {};
  struct tm *tm;
  if (s < end && *s == '!') {
    tm = gmtime_r(&t, &tm_buf);
    s++;
  } else {
    tm = localtime_r(&t, &tm_buf);
  }
  if (!tm) return luaL_error(L, "date result cannot be represented in this installation");
  if (end - s == 2 && s[0] == '*' && s[1] == 't') {
    lua_createtable(L, 0, 9);
    set_date_field(L, "year", tm->tm_year + 1900);
    set_date_field(L, "month", tm->tm_mon + 1);
    set_date_field(L, "day", tm->tm_mday);
    set_date_field(L, "hour", tm->tm_hour);
    set_date_field(L, "min", tm->tm_min);
    set_date_field(L, "sec", tm->tm_sec);
    set_date_field(L, "yday", tm->tm_yday + 1);
    set_date_field(L, "wday", tm->tm_wday + 1);
    if (tm->tm_isdst >= 0) {
      lua_pushboolean(L, tm->tm_isdst);
      lua_setfield(L, -2, "isdst");
    }
    return 1;
  }
  // Each conversion gives at most this many bytes.
  constexpr size_t conversion_room = 250;
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  while (s < end) {
    if (*s != '%') {
      luaL_addchar(&b, *s++);
      continue;
    }
    s++;
    size_t n = date_conversion(s, size_t(end - s));
    if (n == 0)
      return luaL_argerror(L, 1, lua_pushfstring(L, "invalid conversion specifier '%%%s'", s));
    char conversion[4] = {'%', s[0], n == 2 ? s[1] : '\0', '\0'};
    char *out = luaL_prepbuffsize(&b, conversion_room);
    luaL_addsize(&b, std::strftime(out, conversion_room, conversion, tm));
    s += n;
  }
  luaL_pushresult(&b);
  return 1;
}
