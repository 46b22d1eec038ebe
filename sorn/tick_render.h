// One tick of a channel: the node parameters from the note state and the
// running effect, then the tree rendered deepest nodes first into node 0's
// output (and node 8's, the right side of a stereo instrument).
#pragma once
#include "sorn/mixer.h"

// This tick's parameter values and phase steps of every live node.
void evaluate_channel_node_parameters(sorn_channel *ch);
// Renders n samples (1..32768) of the tree; counts the tick and keeps the
// node states as prev_node_state.
void render_channel_tick(sorn_channel *ch, int32_t n);
// The pan law for pan clamped to -127..127; returns right.
uint32_t get_stereo_contributions(int32_t pan, uint32_t *left, uint32_t *right);
// Applies an effect node in place to the first n samples of target's output.
void apply_fx_node(sorn_node_state *target, sorn_node_state *fx, int32_t n);
