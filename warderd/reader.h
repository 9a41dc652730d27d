// The iButton reader: the "Readers" module with the reader element
// "iButton" and the switchable "iButton Power" output (GPIO line 10), and the
// reader thread that watches the 1-Wire master device, grants or refuses
// each newly presented key against the keys table (or learns it), logs the
// decision and publishes the reader's state.
//
// Locks: the reader lock guards every field of the reader record. The reader
// thread holds it for one evaluation and takes the command lock inside it for
// its database calls, so the order is always reader lock, then command lock.
// No command holds the command lock while it waits for the reader lock.
#pragma once
#include "zun_lock.h"

struct zunswitch;

inline constexpr const char *W1_DEVICE = "/dev/w1";
inline constexpr int READER_POWER_GPIO = 10;
inline constexpr int READER_WAIT_US = 200000;  // one wait for a key
inline constexpr int READER_PAUSE_MS = 2000;   // pause after every key read

// Element state codes the reader uses.
enum {
  READER_STATE_NORMAL = 1,         // access granted, or key learned
  READER_STATE_HIGH_ALARM = 4,     // access refused, or learning failed
  READER_STATE_NOT_CONNECTED = 7,  // no key on the reader
};

struct reader {
  unsigned element_id;            // 0 until the element is registered
  unsigned module_id;             // the "Readers" module
  unsigned num;                   // element number in the module: 1
  char name[64];                  // "iButton" at start
  int state;                      // element state code
  int add_mode;                   // 1: the next new key is stored
  unsigned char last_raw[16];     // first 6 bytes: the last identifier read
  char key[32];                   // the last key as 12 upper-case hex digits
  char username[64];              // holder's name, "unauthorized", or ""
};

// Text of an element state code ("" for codes outside 0..9).
const char *reader_state_text(int state);

// The process's reader record and the switch of its power output (null when
// it was not created).
reader &the_reader();
zunswitch *reader_power_switch();

// The reader lock, held for a scope with ZunLock hold(reader_lock()); valid
// for the whole process.
ZunMutex &reader_lock();

// 1 when the board type has the reader hardware (types 0, 2, 3, 4).
int reader_board_has_hardware(void);

// Resets the record, registers the module, the reader element and the power
// switch (when the module was registered), exports GPIO line 10 as an output
// at the switch's state, and starts the reader thread. Returns 0, or the
// error of starting the thread.
int readers_start(void);

// Ends the reader thread (promptly: its wait and pause are interrupted),
// closes the device, unexports the GPIO line, deletes the element, ends the
// switch and deletes the module. Returns 0.
int readers_stop(void);

// Power output callback: 5 sets GPIO line 10 to 1, 6 to 0 (the level is
// kept for the export, when the line is not exported yet); returns 0.
int reader_power_output(void *ctx, int command);
