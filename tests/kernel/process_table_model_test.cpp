// The process table against a plain model: random creations, kills and
// restarts, from the host and from processes inside their slices (nested,
// deferred, of themselves), kills of a flagged slot while the frame walks the
// table and resets. Every id must find its record or none, and
// the table must stay in id order with ids never given twice.
#include <map>
#include <random>
#include <set>

#include "tests/kernel/kernel_fixture.h"

namespace {

using process_table_model = kernel_fixture;

// Each slice carries out the one order the test left in its globals, then
// flips.
constexpr const char *worker = R"lua(
op, arg = op or false, arg or 0  -- an order may wait for a fresh run
while true do
  local o, a = op, arg
  op, arg = false, 0
  if o == "kill" then _kill_process(a)
  elseif o == "restart" then _kill_process(a, 1)
  elseif o == "kill_restart" then _kill_process(a) _kill_process(a, 1)
  elseif o == "restart_kill" then _kill_process(a, 1) _kill_process(a)
  elseif o == "create" then _create_process_from_code(src, "c", "/c.lua")
  elseif o == "run" then _run_process_slice(a, 0.05)
  end
  flip()
end)lua";

void give_order(proc *p, const char *op, int64_t arg) {
  lua_pushstring(p->L, worker);
  lua_setglobal(p->L, "src");
  lua_pushstring(p->L, op);
  lua_setglobal(p->L, "op");
  lua_pushinteger(p->L, arg);
  lua_setglobal(p->L, "arg");
}

TEST_F(process_table_model, RandomLivesAgreeWithAModel) {
  std::mt19937_64 rng(20261211);
  auto pick = [&](size_t n) { return (size_t)(rng() % n); };
  std::set<int64_t> model = {PID_ROOT};
  int64_t next_id = PID_ROOT + 1;
  int64_t highest_given = PID_ROOT;
  std::set<int64_t> given = {PID_ROOT};

  auto create = [&](bool good) {
    proc *p = create_process_from_code(good ? worker : "x = = 1", "w", "/w.lua", "");
    int64_t id = next_id++;
    if (good && (int32_t)model.size() < max_processes) {
      ASSERT_NE(p, nullptr);
      ASSERT_EQ(p->id, id);
      model.insert(id);
    } else {
      ASSERT_EQ(p, nullptr);
    }
  };
  auto any_user_id = [&]() -> int64_t {  // a live one mostly, sometimes a gone or unknown one
    if (model.size() > 1 && pick(8) != 0)
      return *std::next(model.begin(), 1 + pick(model.size() - 1));
    return PID_ROOT + 1 + (int64_t)pick((size_t)(next_id + 2));
  };
  const char *slice_ops[] = {"kill", "restart", "kill_restart", "restart_kill", "create",
                             "run",  ""};
  auto removes = [](const std::string &op) {
    return op == "kill" || op == "kill_restart" || op == "restart_kill";
  };

  for (int step = 0; step < 4000; step++) {
    size_t what = pick(100);
    if (what < 30) {
      create(pick(10) != 0);
    } else if (what < 40 && model.size() > 1) {
      int64_t id = any_user_id();
      kill_process_by_id(id);
      model.erase(id);
    } else if (what < 45 && model.size() > 1) {
      int32_t slot = 1 + (int32_t)pick(model.size());  // one past the end sometimes
      if (slot < (int32_t)model.size()) model.erase(*std::next(model.begin(), slot));
      kill_process_by_index(slot);
    } else if (what < 50 && model.size() > 2) {
      // A restart asked for by another process, or by the process itself.
      int64_t id = any_user_id(), by = any_user_id();
      if (proc *asker = get_process(by)) set_current_process(asker);
      restart_process(get_process(id));
      set_current_process(root);
    } else if (what < 53 && model.size() > 1) {
      // The current process removes itself outside a slice.
      int64_t id = any_user_id();
      if (proc *p = get_process(id)) {
        set_current_process(p);
        kill_process(p);
        EXPECT_EQ(cproc, nullptr);
        model.erase(id);
      }
      set_current_process(root);
    } else if (what < 56 && model.size() > 1) {
      // Processes flagged out of memory go while the frame walks the table.
      for (int i = 0; i < 3; i++) {
        int64_t id = any_user_id();
        if (proc *p = get_process(id)) {
          p->kill_flag = 1;
          model.erase(id);
        }
      }
      update_processes_after_frame();
    } else if (what < 57) {
      processes_init();
      EXPECT_EQ(get_process_count(), 0);
      root = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "");
      ASSERT_NE(root, nullptr);
      procs.root = root;
      set_current_process(root);
      model = {PID_ROOT};
      next_id = PID_ROOT + 1;
      given = {PID_ROOT};
      highest_given = PID_ROOT;
    } else if (model.size() > 1) {
      // A slice of one process, which may run another's slice inside it.
      prepare_processes_for_frame();
      int64_t a = *std::next(model.begin(), 1 + pick(model.size() - 1));
      std::string op_a = slice_ops[pick(std::size(slice_ops))];
      int64_t arg_a =
          op_a == "run" ? *std::next(model.begin(), 1 + pick(model.size() - 1)) : any_user_id();
      give_order(get_process(a), op_a.c_str(), arg_a);
      std::vector<std::pair<std::string, int64_t>> done = {{op_a, arg_a}};
      if (op_a == "run" && arg_a != a) {
        std::string op_b = slice_ops[pick(std::size(slice_ops) - 2)];  // not "run"
        int64_t arg_b = pick(3) == 0 ? a : any_user_id();
        give_order(get_process(arg_a), op_b.c_str(), arg_b);
        done.push_back({op_b, arg_b});
      }
      run_process_slice(get_process(a), 0.2);
      EXPECT_EQ(cproc, root);
      for (auto &[op, arg] : done) {
        if (removes(op)) model.erase(arg);
        if (op == "create") {
          if ((int32_t)model.size() < max_processes) model.insert(next_id);
          next_id++;
        }
      }
    }
    if (HasFatalFailure()) return;

    ASSERT_EQ(get_process_count(), (int32_t)model.size()) << "step " << step;
    ASSERT_EQ(procs.next_id, next_id) << "step " << step;
    auto want = model.begin();
    for (int32_t i = 0; i < get_process_count(); i++, ++want) {
      int64_t id = get_process_by_index(i)->id;
      ASSERT_EQ(id, *want) << "step " << step << " slot " << i;
      if (id > highest_given) {
        ASSERT_TRUE(given.insert(id).second) << "id " << id << " given twice";
        highest_given = id;
      }
    }
    for (int64_t id = -1; id <= next_id + 1; id += 1 + (int64_t)pick(7)) {
      proc *p = get_process(id);
      ASSERT_EQ(p != nullptr, model.count(id) == 1) << "step " << step << " id " << id;
      if (p) {
        ASSERT_EQ(p->id, id);
      }
    }
  }
}

}  // namespace
