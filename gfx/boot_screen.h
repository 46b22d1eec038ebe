// The boot screen: while userland starts, the frame composer shows a picture
// the kernel draws itself: three nested rectangles traced from the top-left
// corner in cycling colours, then a version line and a status line. It lives
// in the boot record, a process record outside the table that never runs,
// whose video memory is mapped onto the 480 x 270 bitmap boot_back.
#pragma once
#include <cstdint>

struct proc;
struct udata;

// The boot record and its pixels; both made on first use and kept for the
// rest of the run (reboots included). Null until then.
extern proc *boot_proc;
extern udata *boot_back;

// Sets up the boot record: pages 0..15 zero-filled, identity display palette,
// colour table 0 row c all c, masks 0x3F, the built-in font at 0x4000 (font
// bytes 0x40 and 0x56), the boot palette, and video memory mapped onto
// boot_back. Called by draw_boot when boot_back does not exist yet.
void init_boot();

// Draws one boot frame for the boot clock's present time and returns the
// record whose memory holds it. The current process is the boot record while
// it draws and is put back afterwards.
proc *draw_boot();

// One two-leg path between the points at fractions g (tail) and h (head) of
// its length, legs a..b and b..c; each pixel in the boot colours of its
// position, phase and step.
void draw_path(double h, double g, int32_t ax, int32_t ay, int32_t bx, int32_t by, int32_t cx,
               int32_t cy, int32_t phase);
// One leg (xa, ya)..(xb, yb) in 16.16 steps, the end point not drawn.
void cline(int32_t xa, int32_t ya, int32_t xb, int32_t yb, int32_t phase);

// The boot screen stays up at least this long after a reset.
inline constexpr uint32_t boot_hold_ms = 2200;
// Milliseconds of boot clock: the first reading after a reset starts it.
uint32_t boot_get_time();
