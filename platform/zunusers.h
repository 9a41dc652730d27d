// Users and sessions: local and RADIUS login, session files, access lists.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr const char *USERS_DB_PATH = "/mnt/jffs/etc/users.sqlite";
// Ids per access list: as many as the rights lists can name. A 1,024-byte
// list holds at most 512 entries ("1," is the shortest), and the read level
// joins a read and a write list.
inline constexpr int ZUN_ACCESS_MAX = 2 * 512;

// Access list: the module/element ids and group ids a user may act on at the
// level of the last successful rights check (see zunusers_create_access_list).
struct zun_access_list {
  int32_t all_components;   // 1: every module and element
  int32_t all_groups;       // 1: every group
  int32_t ncomponents;
  int32_t ngroups;
  int32_t components[ZUN_ACCESS_MAX];
  int32_t groups[ZUN_ACCESS_MAX];
};

struct zunuser {
  int32_t id;          // account number; -1 when no user is loaded
  int32_t valid;       // 0 for a disabled account
  char name[64];
  char pass[64];
  char regdate[64];
  char pass_mark[65];  // keyed digest of the password value at login (hex):
                       // a changed password ends the session
  char sread[1024];    // sections readable ("elements,modules," or "all")
  char swrite[1024];   // sections writable
  char cread[1024];    // component ids readable: "101,102," or "all"
  char cwrite[1024];   // component ids writable
  char gread[1024];    // group ids readable
  char gwrite[1024];   // group ids writable
  char rfu1[1024];
  char rfu2[1024];
  char remote[64];     // client address at login, "NULL" when unknown
  char key[32];        // decimal session key
  int32_t radius;      // 1 when the login came from a RADIUS server
  zun_access_list access;
  int32_t level;       // level of the last successful check: 0 read, 2 write
};

// Clears the record: id -1, everything else zero.
void zunusers_clear(zunuser *user);

// Local login against the account database: a row whose Name equals name and
// whose Pass equals pass (an enabled row preferred). 0 with the record filled
// (valid from Valid); ZUN_ERR_LOGIN otherwise.
int zunusers_auth_local(const char *name, const char *pass, zunuser *user);

// RADIUS login (PAP) against "address:port:secret". 0 when the server
// accepted, the record filled: id 0, name, valid 1, radius 1, every read list
// "all"; the write lists "all" when the reply's Service-Type is
// Administrative-User, empty otherwise (a read-only user).
// ZUN_ERR_RADIUS_REJECT when the server refused (or the name or password
// cannot be sent); ZUN_ERR_RADIUS_DOWN when no genuine reply came within
// three seconds (datagrams that are not one are ignored), or the description
// is unusable. The environment variable APPLIANCE_RADIUS_WAIT_MS (1 to 3000)
// shortens the wait for tests.
int zunusers_auth_radius(const char *server, const char *name, const char *pass, zunuser *user);

// Brings a local account's session record up to date with the account's
// row: name, registration date and rights lists are taken from the row
// (the key, address, level and access list stay). 0 when the row exists, is
// enabled and still has the password the session was opened with; 0 also
// when there is no account database to ask (the account commands then
// answer "wrong userlist file"); ZUN_ERR_NO_SESSION otherwise.
int zunusers_refresh_local(zunuser *user);

// Copies the account's fields (name, registration date, rights lists,
// valid, password mark) from `account` into the session record `session`.
void zunusers_take_account(zunuser *session, const zunuser *account);

// The password mark of a password value: hex HMAC-SHA256 under the
// appliance's session secret (65 bytes with the terminator). 0 on success.
int zunusers_pass_mark(const char *pass, char *out, size_t size);

// Asks stewardd (<getradius />) for the RADIUS server description into buf
// (1,024 bytes); 0 when one is set.
int zunusers_get_radius_server(char *buf, size_t size);

// Session files. save writes the whole record with a time stamp and a
// message authentication code; load returns 0 only for a whole, untampered
// record of this format whose time stamp is at most 30 minutes old.
int zunusers_load_user(zunuser *user, const char *path);
int zunusers_save_user(const zunuser *user, const char *path);
inline constexpr int ZUN_SESSION_IDLE_SECONDS = 1800;
// save with a given time of saving instead of the clock's (seconds since the
// epoch): lets tests make a stale session without waiting.
int zunusers_save_user_at(const zunuser *user, const char *path, uint32_t saved_at);

// Builds the record's access list from its component and group lists at its
// level (read: read and write lists; write: write lists only). "all" in a list
// grants every item of that kind; other entries are decimal ids separated by
// commas. work is a scratch buffer of work_size bytes. 0 on success.
int zunusers_create_access_list(zunuser *user, char *work, size_t work_size);

// 0 when the user may act on the module / element (its id or its module's id
// listed) / group.
int zunusers_check_module(const zunuser *user, int module);
int zunusers_check_element(const zunuser *user, int element, int module);
int zunusers_check_group(const zunuser *user, int group);
