// The draw target's cached clip rectangle.
#pragma once

struct proc;

// When the clip words at RAM_CLIP_RECT of p's memory (x0, y0, x1, y1 as signed 16-bit
// values) differ from the ones p's clip rectangle was made from, rebuilds the
// rectangle: left and top are x0 and y0 raised to 0, right and bottom the
// smaller (compared unsigned) of x1 and y1 and the draw target's width and
// height. On every call the rectangle is kept within the target's present
// width and height (a target reshaped smaller). Nothing while p has no draw
// target.
void refresh_target_clip(proc *p);
