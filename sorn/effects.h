// The in-place effects of node kinds 8 (filter), 9 (echo) and 10 (gain): each
// processes n samples of the parent's output with the effect node's values
// and state. Out-of-range parameter values are clamped so that no division
// by zero or overflow can happen on the audio thread.
#pragma once
#include "sorn/mixer.h"

void apply_fx_filter(sorn_node_state *parent, sorn_node_state *fx, int32_t n);
void apply_fx_echo(sorn_node_state *parent, sorn_node_state *fx, int32_t n);
void apply_fx_gain(sorn_node_state *parent, sorn_node_state *fx, int32_t n);
