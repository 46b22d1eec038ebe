// Lua message API: stamped sends and decoding reads.
#include <cmath>
#include <memory>

#include "base/cpu_budget.h"
#include "base/os_time.h"
#include "base/pbuffer.h"
#include "machine/message.h"
#include "machine/process.h"
#include "pod/pod_read.h"
#include "pod/pod_write.h"
#include "kernel/api.h"

// Lua number conversion truncated toward zero into 32 bits; 0 when it does
// not fit (NaN and infinities included).
static int32_t id_from_number(lua_Number n) {
  if (!(n > -2147483649.0 && n < 2147483648.0)) return 0;
  return (int32_t)n;
}

int lua54_send_message(lua_State *L) {
  int t = lua_type(L, 1);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return 0;
  int32_t id = id_from_number(lua_tonumber(L, 1));
  if (id == 0) return 0;
  proc *receiver = get_process(id);
  if (!receiver || !cproc) return 0;
  lua_settop(L, 2);
  // The stamp goes on the message itself (argument 2), raw, so that no
  // metatable and no extra argument lets a process pose as another.
  if (lua_istable(L, 2)) {
    const char *fields[3] = {"_from", "_sent_t", "_flags"};
    lua_Integer values[3] = {(lua_Integer)cproc->id, (lua_Integer)os_get_time(),
                             (lua_Integer)cproc->flags};
    for (int i = 0; i < 3; i++) {
      lua_pushstring(L, fields[i]);
      lua_pushinteger(L, values[i]);
      lua_rawset(L, 2);
    }
  } else {
    lua_pushinteger(L, (lua_Integer)cproc->id);
    lua_setfield(L, 2, "_from");  // raises the interpreter's indexing error
  }
  pbuffer_owner b(create_buffer_2(256, 'p'));
  // The text goes to the receiver's queue, never to the sender, so it is
  // bounded by what that queue takes now, not by the sender's room (the
  // queue is tested again when the text is appended). A value whose text
  // does not fit is not sent at all, and the walk stops where it stops fitting.
  bool written = stringify_object_within(L, 2, b.get(), 0, 0, message_queue_room(receiver)) >= 0;
  // The writer allocates, and a finaliser it runs may remove the receiver.
  receiver = get_process(id);
  if (receiver && written) send_process_message(receiver, b.get());
  spend_cpu(b->length);
  return 0;
}

// Bytes of a read message charged as one cycle.
static constexpr int32_t read_message_bytes_per_cycle = 8;

int lua54__read_message(lua_State *L) {
  if (!cproc) return 0;
  // A buffer of this call's own: decoding may run a finaliser that reads the
  // next message.
  pbuffer_owner b(create_buffer_2(4096, 'r'));
  if (!read_process_message(cproc, b.get())) return 0;
  int top = lua_gettop(L);
  destringify_object(L, (const char *)b->data, b->length);
  // The bytes moved out of the queue are charged at the rate of a copy,
  // after the message is delivered: a charge past the budget is debt that the
  // next slices pay, so no message is ever too large to read.
  spend_cpu(b->length / read_message_bytes_per_cycle);
  return lua_gettop(L) - top;
}
