// Calls the synthesiser makes upward, as function pointers that kernel
// start-up installs (install_hooks) before anything can call them. A hook
// left null is skipped.
#pragma once

struct sorn_hooks {
  // Ends a running audio capture (a reset does, under the audio lock); its
  // result is not needed here.
  int (*end_audio_capture)();
};
extern sorn_hooks sorn_hook;
