// The audio lock. The audio thread holds it for the whole of a sorn_mix call;
// every main-thread operation on channels, music or the memory mirror holds
// it too. It nests: a thread that holds it may take it again, and it is
// released when the outermost holder lets go.
#pragma once

void sorn_lock_audio();
void sorn_unlock_audio();
