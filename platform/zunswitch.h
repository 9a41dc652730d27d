// A switchable output published as an element of a daemon's module.
#pragma once
#include "xmlhelpers.h"

// Output callback: called with 5 (on) or 6 (off); returns 0.
typedef int (*zunswitch_output_fn)(void *ctx, int command);

struct zunswitch;  // opaque

// Creates the switch element in module module_id:
//   num      element number in the module (0: the next after the module's
//            elements, i.e. 2 in a module that holds one element)
//   id       -1: the element database assigns the id
//   type     element type within class 3 (outputs): 1 relay, 2 power output
//   state    state at start: 5 on, 6 off (a saved state wins)
//   pulse    pulse length in tenths of a second
// The saved line of this switch (same num) in the zunlib_init settings file
// gives its name, state and pulse. The callback is called with the start
// state. 0 on success (*sw set), negative otherwise (bad arguments, no
// memory; *sw null). When the element database cannot be reached the switch
// is still created and drives its output, without an element (id -1).
// A value "pulse" (or 8) switches on for `pulse` tenths of a second, then off.
int zunswitch_init(zunswitch **sw, int module_id, int num, int id, int type, int state,
                   int pulse, zunswitch_output_fn output, void *ctx);
void zunswitch_exit(zunswitch *sw);  // deletes the element, frees the switch

const char *zunswitch_get_name(const zunswitch *sw);
int zunswitch_set_name(zunswitch *sw, const char *name);
int zunswitch_get_id(const zunswitch *sw);   // element id, -1 when none

// Writes the element description through ch->write (does not close).
int zunswitch_get(zunswitch *sw, xml_channel *ch, const char **attrs);
// Applies name, value ("on"/"off"/"pulse" or a state code) and pulse.
int zunswitch_attr_set(zunswitch *sw, const char **attrs);
// Writes one settings line through ch->write.
int zunswitch_save(zunswitch *sw, xml_channel *ch);
