// Error replies of engine: one XML element per reply on standard output.
#pragma once

// Codes with a meaning of their own; every other code reads "error %d".
enum zun_error_code {
  ZUN_OK = 0,
  ZUN_ERR_DISABLED = -1,         // account disabled / generic failure
  ZUN_ERR_ACCESS = -101,         // right missing for the section and level
  ZUN_ERR_NO_SESSION = -102,     // session file missing or unreadable
  ZUN_ERR_NO_PARAM = -103,       // no session key / missing login field
  ZUN_ERR_SESSION_SAVE = -104,   // new session could not be saved
  ZUN_ERR_SESSION_DIR = -105,    // session folder cannot be opened
  ZUN_ERR_LOGIN = -106,          // wrong login name or password
  ZUN_ERR_RADIUS_DOWN = -107,    // RADIUS server did not answer
  ZUN_ERR_RADIUS_REJECT = -108,  // RADIUS server refused or forged reply
  ZUN_ERR_ACCESS_LIST = -109,    // access list could not be built
};

// The meaning of a code ("no error" for 0).
const char *error_text(int code);

// `<error type="MEANING" />` for 0 and `<error type="MEANING" code="N" />`
// otherwise, no line end, on standard output.
void error_print(int code);

// `<error type="TEXT" />` with the text XML-escaped, no line end. Both write
// through stdio.
void error_printstr(const char *text);
