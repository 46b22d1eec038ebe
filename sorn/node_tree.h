// Instruments as node trees: loading a channel's tree from the mirror, note
// start and release, and channel resets.
#pragma once
#include "sorn/mixer.h"

// Address of the channel's current instrument in the mirror.
uint32_t sorn_inst_addr(const sorn_channel *ch);
// Loads the channel's instrument tree into node_state (definition fields
// only; phases, envelopes and effect state survive).
void grab_node_tree(sorn_channel *ch);
// Clears echo state (and echo buffers) of all nine nodes.
void prepare_nodes_for_new_instrument(sorn_channel *ch);
// The note fields back to their defaults.
void reset_channel_state(sorn_channel *ch);
// Releases the channel's note (every value "not given").
void release_note(sorn_channel *ch);
// Stops the note and the track; with full also resets the note fields and
// switches every node off.
void kill_channel(sorn_channel *ch, int full);
