// Request parameters: the form texts of the query string and of the body
// become one list of name/value pairs, split and decoded in place.
#pragma once
#include <cstddef>

struct param_entry {
  char *name;
  char *value;
  param_entry *next;  // the entry added before this one
};

// Splits `text` in place at every '&' and adds every non-empty piece with
// decoding on, in text order. Returns the list head (the pair added last).
param_entry *params_parse_form(char *text);

// Adds one pair "name=value" (split at the first '='; no '=' gives the value
// "true"); with `decode` the value, then the name, are URL-decoded in place.
// The text must live as long as the process. An entry that cannot be
// allocated is dropped.
void param_add(char *pair, bool decode);

// The value of the entry added last whose name equals `name` without regard
// to case, or null. The value may be decoded further in place by handlers.
char *param_get(const char *name);

// The list head (the pair added last), or null.
param_entry *params_head();

// Forgets and frees every entry (the texts they point into are the
// caller's). A request never needs it: its entries live until the end.
void params_reset();

// Decodes in place: '+' to blank, %XX to the byte (a %00 ends the text), a
// '%' without two hex digits stays. Returns text.
char *url_decode(char *text);

// 0-15 for a hexadecimal digit, -1 otherwise.
int hex_digit_value(int c);

// First non-blank character of text; trailing blanks (space, tab, LF, CR)
// are cut in place.
char *text_trim(char *text);
